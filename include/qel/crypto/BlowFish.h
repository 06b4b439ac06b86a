#ifndef QEL_CRYPTO_BLOWFISH_H_
#define QEL_CRYPTO_BLOWFISH_H_

#include <cstdint>
#include <string>

#include "qel/core/Export.h"

namespace qel {

// One 64-bit cipher block: the left word, then the right word.
struct QEL_API SBlock {
  SBlock(std::uint32_t left = 0, std::uint32_t right = 0) : _uiLeft(left), _uiRight(right) {}

  SBlock& operator^=(const SBlock& other) {
    _uiLeft ^= other._uiLeft;
    _uiRight ^= other._uiRight;
    return *this;
  }
  friend SBlock operator^(SBlock a, const SBlock& b) { return a ^= b; }
  friend bool operator==(const SBlock& a, const SBlock& b) {
    return a._uiLeft == b._uiLeft && a._uiRight == b._uiRight;
  }
  friend bool operator!=(const SBlock& a, const SBlock& b) { return !(a == b); }

  std::uint32_t _uiLeft;
  std::uint32_t _uiRight;
};

// Blowfish (64-bit blocks, 16 rounds, keys of 1 to 56 bytes) with ECB, CBC
// and full-block CFB chaining.  Blocks are read from and written to bytes as
// two big-endian words.  The buffer operations start every call from the
// stored chain and never change it, so one object gives the same output for
// the same input however often it is used.
class QEL_API CBlowFish {
 public:
  // Chaining modes; any other value acts as ECB.
  enum { ECB = 0, CBC = 1, CFB = 2 };

  // Throws IllegalStateException "Incorrect key length" for an empty (or
  // null) key; a key longer than 56 bytes is cut to its first 56 bytes.
  CBlowFish(const unsigned char* key, unsigned int keyLength, const SBlock& initialVector);
  CBlowFish(const CBlowFish& other) = default;
  CBlowFish& operator=(const CBlowFish& other) = default;

  void resetChain() { _oChain = _oInitialVector; }

  // n must be a non-zero multiple of 8, else IllegalStateException
  // "Incorrect buffer length" is thrown and nothing is written.  The two
  // buffers may be the same; if they overlap otherwise, the output is as if
  // the whole input had been read first.
  void encrypt(const unsigned char* in, unsigned char* out, unsigned int n, int mode);
  void decrypt(const unsigned char* in, unsigned char* out, unsigned int n, int mode);
  void encrypt(unsigned char* buf, unsigned int n, int mode);
  void decrypt(unsigned char* buf, unsigned int n, int mode);

  // Pads value with 1 to 8 spaces to whole blocks, enciphers it in CBC mode
  // and returns the bytes as lowercase hexadecimal.
  std::string encodeValue(const std::string& value);
  // The inverse of encodeValue: reads pairs of hexadecimal digits (an odd
  // last character is ignored), deciphers them in CBC mode and drops the
  // trailing spaces and every NUL byte.  Throws IllegalStateException
  // "Incorrect buffer length" unless the pair count is a non-zero multiple
  // of 8.
  std::string decodeValue(const std::string& text);

  static const std::uint32_t scm_auiInitP[18];
  static const std::uint32_t scm_auiInitS[4][256];

 private:
  // Enciphers (forward) or deciphers n bytes in mode from the stored chain.
  void process(bool forward, const unsigned char* in, unsigned char* out, unsigned int n,
               int mode) const;

  SBlock _oInitialVector;
  SBlock _oChain;
  std::uint32_t _auiP[18];
  std::uint32_t _auiS[4][256];
};

}  // namespace qel

#endif  // QEL_CRYPTO_BLOWFISH_H_
