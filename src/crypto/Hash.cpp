#include "qel/crypto/Hash.h"

#include <cstring>

#include "core/Text.h"

namespace qel {

// ---------------------------------------------------------------- CHash

CHash::CHash(const char* name, unsigned int size)
    : _nSize(size), _pResult(new unsigned char[size]), _sName(name != nullptr ? name : "") {}

CHash::CHash(const CHash& other)
    : _nSize(other._nSize), _pResult(new unsigned char[other._nSize]), _sName(other._sName) {
  if (_nSize != 0) {
    std::memcpy(_pResult, other._pResult, _nSize);
  }
}

CHash& CHash::operator=(const CHash& other) {
  if (this != &other) {
    if (_nSize != other._nSize) {
      unsigned char* fresh = new unsigned char[other._nSize];
      delete[] _pResult;
      _pResult = fresh;
      _nSize = other._nSize;
    }
    if (_nSize != 0) {
      std::memcpy(_pResult, other._pResult, _nSize);
    }
    _sName = other._sName;
  }
  return *this;
}

CHash::~CHash() {
  delete[] _pResult;
}

void CHash::toHexaDecimal(std::string& text) {
  const std::size_t at = text.size();
  text.resize(at + 2 * static_cast<std::size_t>(_nSize));
  chars::writeLowerHex(_pResult, _nSize, &text[at]);
}

// ---------------------------------------------------------------- CMD5

const unsigned char CMD5::PADDING[64] = {0x80};

namespace {

// Little-endian 32-bit load; a plain (possibly unaligned) load on
// little-endian hosts, so blocks are compressed straight from the input.
inline std::uint32_t load32(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint32_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
#else
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
#endif
}

inline std::uint32_t rotl(std::uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// The four auxiliary functions, in forms with fewer operations that give the
// same bits as F = xy | ~x z, H = x ^ y ^ z, I = y ^ (x | ~z).
inline std::uint32_t fF(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t fH(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
inline std::uint32_t fI(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

// G written as (x & z) + (y & ~z): the two terms never share a set bit, so
// their sum is their union, and only x & z waits for the previous step.
#define QEL_MD5_STEP_G(a, b, c, d, x, s, ac) \
  (a) += ((c) & ~(d)) + (x) + (ac);          \
  (a) += (b) & (d);                          \
  (a) = rotl((a), (s)) + (b)

#define QEL_MD5_STEP(f, a, b, c, d, x, s, ac) \
  (a) += f((b), (c), (d)) + (x) + (ac);       \
  (a) = rotl((a), (s)) + (b)

}  // namespace

CMD5::CMD5() : CHash("MD5", 16) {}

CMD5::CMD5(const CMD5& other) : CHash(other) {
  std::memcpy(_auiState, other._auiState, sizeof(_auiState));
  std::memcpy(_auiCount, other._auiCount, sizeof(_auiCount));
  std::memcpy(_aucBuffer, other._aucBuffer, sizeof(_aucBuffer));
}

CMD5& CMD5::operator=(const CMD5& other) {
  if (this != &other) {
    CHash::operator=(other);
    std::memcpy(_auiState, other._auiState, sizeof(_auiState));
    std::memcpy(_auiCount, other._auiCount, sizeof(_auiCount));
    std::memcpy(_aucBuffer, other._aucBuffer, sizeof(_aucBuffer));
  }
  return *this;
}

void CMD5::init() {
  _auiCount[0] = 0;
  _auiCount[1] = 0;
  _auiState[0] = 0x67452301u;
  _auiState[1] = 0xEFCDAB89u;
  _auiState[2] = 0x98BADCFEu;
  _auiState[3] = 0x10325476u;
}

void CMD5::update(const unsigned char* data, unsigned int length) {
  if (length == 0) {
    return;
  }
  unsigned int index = (_auiCount[0] >> 3) & 0x3F;
  const std::uint32_t bits = static_cast<std::uint32_t>(length) << 3;
  _auiCount[0] += bits;
  if (_auiCount[0] < bits) {
    ++_auiCount[1];
  }
  _auiCount[1] += static_cast<std::uint32_t>(length) >> 29;

  unsigned int i = 0;
  // A partly filled block is completed first; whole blocks of the input are
  // compressed where they lie.
  if (index != 0) {
    const unsigned int partLength = 64 - index;
    if (length < partLength) {
      std::memcpy(&_aucBuffer[index], data, length);
      return;
    }
    std::memcpy(&_aucBuffer[index], data, partLength);
    transform(_aucBuffer);
    i = partLength;
  }
  for (; length - i >= 64; i += 64) {
    transform(&data[i]);
  }
  if (length > i) {
    std::memcpy(_aucBuffer, &data[i], length - i);
  }
}

void CMD5::finish() {
  unsigned char bits[8];
  encode(bits, _auiCount, 8);

  const unsigned int index = (_auiCount[0] >> 3) & 0x3F;
  const unsigned int padLength = (index < 56) ? (56 - index) : (120 - index);
  update(PADDING, padLength);
  update(bits, 8);

  encode(getResult(), _auiState, 16);

  std::memset(_auiState, 0, sizeof(_auiState));
  std::memset(_auiCount, 0, sizeof(_auiCount));
  std::memset(_aucBuffer, 0, sizeof(_aucBuffer));
}

void CMD5::encode(unsigned char* output, const std::uint32_t* input, unsigned int length) {
  for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
    output[j] = static_cast<unsigned char>(input[i] & 0xFF);
    output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xFF);
    output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xFF);
    output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xFF);
  }
}

void CMD5::transform(const unsigned char* block) {
  std::uint32_t a = _auiState[0];
  std::uint32_t b = _auiState[1];
  std::uint32_t c = _auiState[2];
  std::uint32_t d = _auiState[3];
  const unsigned char* const x = block;
#define X(i) load32(x + 4 * (i))

  // Round 1
  QEL_MD5_STEP(fF, a, b, c, d, X(0), 7, 0xd76aa478u);
  QEL_MD5_STEP(fF, d, a, b, c, X(1), 12, 0xe8c7b756u);
  QEL_MD5_STEP(fF, c, d, a, b, X(2), 17, 0x242070dbu);
  QEL_MD5_STEP(fF, b, c, d, a, X(3), 22, 0xc1bdceeeu);
  QEL_MD5_STEP(fF, a, b, c, d, X(4), 7, 0xf57c0fafu);
  QEL_MD5_STEP(fF, d, a, b, c, X(5), 12, 0x4787c62au);
  QEL_MD5_STEP(fF, c, d, a, b, X(6), 17, 0xa8304613u);
  QEL_MD5_STEP(fF, b, c, d, a, X(7), 22, 0xfd469501u);
  QEL_MD5_STEP(fF, a, b, c, d, X(8), 7, 0x698098d8u);
  QEL_MD5_STEP(fF, d, a, b, c, X(9), 12, 0x8b44f7afu);
  QEL_MD5_STEP(fF, c, d, a, b, X(10), 17, 0xffff5bb1u);
  QEL_MD5_STEP(fF, b, c, d, a, X(11), 22, 0x895cd7beu);
  QEL_MD5_STEP(fF, a, b, c, d, X(12), 7, 0x6b901122u);
  QEL_MD5_STEP(fF, d, a, b, c, X(13), 12, 0xfd987193u);
  QEL_MD5_STEP(fF, c, d, a, b, X(14), 17, 0xa679438eu);
  QEL_MD5_STEP(fF, b, c, d, a, X(15), 22, 0x49b40821u);

  // Round 2
  QEL_MD5_STEP_G(a, b, c, d, X(1), 5, 0xf61e2562u);
  QEL_MD5_STEP_G(d, a, b, c, X(6), 9, 0xc040b340u);
  QEL_MD5_STEP_G(c, d, a, b, X(11), 14, 0x265e5a51u);
  QEL_MD5_STEP_G(b, c, d, a, X(0), 20, 0xe9b6c7aau);
  QEL_MD5_STEP_G(a, b, c, d, X(5), 5, 0xd62f105du);
  QEL_MD5_STEP_G(d, a, b, c, X(10), 9, 0x02441453u);
  QEL_MD5_STEP_G(c, d, a, b, X(15), 14, 0xd8a1e681u);
  QEL_MD5_STEP_G(b, c, d, a, X(4), 20, 0xe7d3fbc8u);
  QEL_MD5_STEP_G(a, b, c, d, X(9), 5, 0x21e1cde6u);
  QEL_MD5_STEP_G(d, a, b, c, X(14), 9, 0xc33707d6u);
  QEL_MD5_STEP_G(c, d, a, b, X(3), 14, 0xf4d50d87u);
  QEL_MD5_STEP_G(b, c, d, a, X(8), 20, 0x455a14edu);
  QEL_MD5_STEP_G(a, b, c, d, X(13), 5, 0xa9e3e905u);
  QEL_MD5_STEP_G(d, a, b, c, X(2), 9, 0xfcefa3f8u);
  QEL_MD5_STEP_G(c, d, a, b, X(7), 14, 0x676f02d9u);
  QEL_MD5_STEP_G(b, c, d, a, X(12), 20, 0x8d2a4c8au);

  // Round 3
  QEL_MD5_STEP(fH, a, b, c, d, X(5), 4, 0xfffa3942u);
  QEL_MD5_STEP(fH, d, a, b, c, X(8), 11, 0x8771f681u);
  QEL_MD5_STEP(fH, c, d, a, b, X(11), 16, 0x6d9d6122u);
  QEL_MD5_STEP(fH, b, c, d, a, X(14), 23, 0xfde5380cu);
  QEL_MD5_STEP(fH, a, b, c, d, X(1), 4, 0xa4beea44u);
  QEL_MD5_STEP(fH, d, a, b, c, X(4), 11, 0x4bdecfa9u);
  QEL_MD5_STEP(fH, c, d, a, b, X(7), 16, 0xf6bb4b60u);
  QEL_MD5_STEP(fH, b, c, d, a, X(10), 23, 0xbebfbc70u);
  QEL_MD5_STEP(fH, a, b, c, d, X(13), 4, 0x289b7ec6u);
  QEL_MD5_STEP(fH, d, a, b, c, X(0), 11, 0xeaa127fau);
  QEL_MD5_STEP(fH, c, d, a, b, X(3), 16, 0xd4ef3085u);
  QEL_MD5_STEP(fH, b, c, d, a, X(6), 23, 0x04881d05u);
  QEL_MD5_STEP(fH, a, b, c, d, X(9), 4, 0xd9d4d039u);
  QEL_MD5_STEP(fH, d, a, b, c, X(12), 11, 0xe6db99e5u);
  QEL_MD5_STEP(fH, c, d, a, b, X(15), 16, 0x1fa27cf8u);
  QEL_MD5_STEP(fH, b, c, d, a, X(2), 23, 0xc4ac5665u);

  // Round 4
  QEL_MD5_STEP(fI, a, b, c, d, X(0), 6, 0xf4292244u);
  QEL_MD5_STEP(fI, d, a, b, c, X(7), 10, 0x432aff97u);
  QEL_MD5_STEP(fI, c, d, a, b, X(14), 15, 0xab9423a7u);
  QEL_MD5_STEP(fI, b, c, d, a, X(5), 21, 0xfc93a039u);
  QEL_MD5_STEP(fI, a, b, c, d, X(12), 6, 0x655b59c3u);
  QEL_MD5_STEP(fI, d, a, b, c, X(3), 10, 0x8f0ccc92u);
  QEL_MD5_STEP(fI, c, d, a, b, X(10), 15, 0xffeff47du);
  QEL_MD5_STEP(fI, b, c, d, a, X(1), 21, 0x85845dd1u);
  QEL_MD5_STEP(fI, a, b, c, d, X(8), 6, 0x6fa87e4fu);
  QEL_MD5_STEP(fI, d, a, b, c, X(15), 10, 0xfe2ce6e0u);
  QEL_MD5_STEP(fI, c, d, a, b, X(6), 15, 0xa3014314u);
  QEL_MD5_STEP(fI, b, c, d, a, X(13), 21, 0x4e0811a1u);
  QEL_MD5_STEP(fI, a, b, c, d, X(4), 6, 0xf7537e82u);
  QEL_MD5_STEP(fI, d, a, b, c, X(11), 10, 0xbd3af235u);
  QEL_MD5_STEP(fI, c, d, a, b, X(2), 15, 0x2ad7d2bbu);
  QEL_MD5_STEP(fI, b, c, d, a, X(9), 21, 0xeb86d391u);
#undef X

  _auiState[0] += a;
  _auiState[1] += b;
  _auiState[2] += c;
  _auiState[3] += d;
}

#undef QEL_MD5_STEP
#undef QEL_MD5_STEP_G

}  // namespace qel
