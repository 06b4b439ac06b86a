#ifndef QEL_CRYPTO_HASH_H_
#define QEL_CRYPTO_HASH_H_

#include <cstdint>
#include <string>

#include "qel/core/Export.h"

namespace qel {

// Base of the message digests: owns the digest's name, its size in bytes and
// the array that receives the result of finish().
class QEL_API CHash {
 public:
  // name may be null (same as empty); the result array is left uninitialised
  // until the first finish().
  CHash(const char* name, unsigned int size);
  // A copy owns a result array of its own holding the same bytes.
  CHash(const CHash& other);
  CHash& operator=(const CHash& other);
  virtual ~CHash();

  virtual void init() = 0;
  virtual void update(const unsigned char* data, unsigned int length) = 0;
  virtual void finish() = 0;

  unsigned char* getResult() { return _pResult; }
  unsigned int getSize() const { return _nSize; }
  const std::string& getName() const { return _sName; }

  // Appends the result, two lowercase hexadecimal digits per byte, to text;
  // what text held before stays in front.
  void toHexaDecimal(std::string& text);

 private:
  unsigned int _nSize;
  unsigned char* _pResult;
  std::string _sName;
};

// The MD5 message digest (RFC 1321).  Call init() before the first update()
// of every message; finish() wipes the context.
class QEL_API CMD5 : public CHash {
 public:
  CMD5();
  CMD5(const CMD5& other);
  CMD5& operator=(const CMD5& other);

  void init() override;
  void update(const unsigned char* data, unsigned int length) override;
  void finish() override;

  // 0x80 followed by 63 zero bytes: the source of the final padding.
  static const unsigned char PADDING[64];

 private:
  void transform(const unsigned char* block);
  static void encode(unsigned char* output, const std::uint32_t* input, unsigned int length);

  std::uint32_t _auiState[4];
  std::uint32_t _auiCount[2];
  unsigned char _aucBuffer[64];
};

}  // namespace qel

#endif  // QEL_CRYPTO_HASH_H_
