#include "qel/crypto/BlowFish.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/Compiler.h"
#include "core/Text.h"
#include "crypto/HexPair.h"
#include "qel/core/Exception.h"

namespace qel {

namespace {

constexpr unsigned int kMaxKeyLength = 56;

// Blocks deciphered (ECB, CBC) or enciphered (ECB, CFB decryption) side by
// side where the mode leaves them independent of each other.
constexpr int kLanes = 8;

inline std::uint32_t loadBigEndian(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

inline void storeBigEndian(std::uint32_t word, unsigned char* p) {
  p[0] = static_cast<unsigned char>(word >> 24);
  p[1] = static_cast<unsigned char>(word >> 16);
  p[2] = static_cast<unsigned char>(word >> 8);
  p[3] = static_cast<unsigned char>(word);
}

// The half XOR its subkey, kept as one value: the round then adds a single
// XOR after F to the chain of dependent steps from one round to the next.
// Left to itself the compiler may regroup the three-way XOR so that two
// XORs follow F, a cycle more per round when a block depends on the one
// before it (CBC encryption).
QEL_ALWAYS_INLINE std::uint32_t keyed(std::uint32_t half, std::uint32_t subkey) {
  std::uint32_t value = half ^ subkey;
  QEL_OPAQUE(value);
  return value;
}

[[noreturn]] void throwBufferLength() {
  throw IllegalStateException(L"Incorrect buffer length");
}

void checkBuffers(const unsigned char* in, const unsigned char* out, unsigned int n) {
  if (n == 0 || n % 8 != 0) {
    throwBufferLength();
  }
  if (in == nullptr || out == nullptr) {
    throw IllegalStateException(L"Null buffer");
  }
}

// True when [a, a + n) and [b, b + n) share a byte but do not coincide.
bool overlapsPartly(const unsigned char* a, const unsigned char* b, unsigned int n) {
  if (a == b) {
    return false;
  }
  const std::less<const unsigned char*> before;
  return before(a, b + n) && before(b, a + n);
}

// The bytes of one value while it is enciphered or deciphered: inside the
// object up to 512 bytes, on the heap beyond; left uninitialised, as every
// byte is written before it is read.
class ValueBytes {
 public:
  explicit ValueBytes(std::size_t n) : _heap(n > sizeof(_local) ? new unsigned char[n] : nullptr) {}
  unsigned char* data() { return _heap ? _heap.get() : _local; }

 private:
  unsigned char _local[512];
  std::unique_ptr<unsigned char[]> _heap;
};

// ------------------------------------------------------------ block function

// The subkeys and S-boxes of a key, as the rounds read them.
struct Schedule {
  const std::uint32_t* p;
  const std::uint32_t (*s)[256];

  QEL_ALWAYS_INLINE std::uint32_t f(std::uint32_t x) const {
    return ((s[0][x >> 24] + s[1][(x >> 16) & 0xFFu]) ^ s[2][(x >> 8) & 0xFFu]) + s[3][x & 0xFFu];
  }
  template <int K>
  void encipher(std::uint32_t* left, std::uint32_t* right) const;
  template <int K>
  void decipher(std::uint32_t* left, std::uint32_t* right) const;
  // One block, in place.
  void encipher(SBlock& block) const { encipher<1>(&block._uiLeft, &block._uiRight); }
};

// The sixteen rounds on K independent blocks at once.  Each round is written
// with the halves kept in place (no swap): the pair of lines below is two
// rounds, and the final exchange of the halves is folded into the output.
template <int K>
QEL_ALWAYS_INLINE void Schedule::encipher(std::uint32_t* left, std::uint32_t* right) const {
  // Working copies whose address never escapes: the compiler may keep them in
  // registers, as no store to them can change the subkeys or the S-boxes.
  std::uint32_t l[K];
  std::uint32_t r[K];

  for (int k = 0; k < K; ++k) {
    l[k] = left[k] ^ p[0];
    r[k] = right[k];
  }
#pragma GCC unroll 8
  for (int i = 1; i < 17; i += 2) {
    for (int k = 0; k < K; ++k) {
      r[k] = keyed(r[k], p[i]) ^ f(l[k]);
    }
    for (int k = 0; k < K; ++k) {
      l[k] = keyed(l[k], p[i + 1]) ^ f(r[k]);
    }
  }
  for (int k = 0; k < K; ++k) {
    left[k] = r[k] ^ p[17];
    right[k] = l[k];
  }
}

template <int K>
QEL_ALWAYS_INLINE void Schedule::decipher(std::uint32_t* left, std::uint32_t* right) const {
  std::uint32_t l[K];
  std::uint32_t r[K];

  for (int k = 0; k < K; ++k) {
    l[k] = left[k] ^ p[17];
    r[k] = right[k];
  }
#pragma GCC unroll 8
  for (int i = 16; i > 0; i -= 2) {
    for (int k = 0; k < K; ++k) {
      r[k] = keyed(r[k], p[i]) ^ f(l[k]);
    }
    for (int k = 0; k < K; ++k) {
      l[k] = keyed(l[k], p[i - 1]) ^ f(r[k]);
    }
  }
  for (int k = 0; k < K; ++k) {
    left[k] = r[k] ^ p[0];
    right[k] = l[k];
  }
}

}  // namespace

// ------------------------------------------------------------ key expansion

CBlowFish::CBlowFish(const unsigned char* key, unsigned int keyLength, const SBlock& initialVector)
    : _oInitialVector(initialVector), _oChain(initialVector) {
  if (keyLength == 0 || key == nullptr) {
    throw IllegalStateException(L"Incorrect key length");
  }
  if (keyLength > kMaxKeyLength) {
    keyLength = kMaxKeyLength;
  }
  std::memcpy(_auiP, scm_auiInitP, sizeof(_auiP));
  std::memcpy(_auiS, scm_auiInitS, sizeof(_auiS));

  unsigned int j = 0;
  for (std::uint32_t& subkey : _auiP) {
    std::uint32_t word = 0;
    for (int b = 0; b < 4; ++b) {
      word = (word << 8) | key[j];
      if (++j == keyLength) {
        j = 0;
      }
    }
    subkey ^= word;
  }

  const Schedule keys{_auiP, _auiS};
  SBlock block(0, 0);
  for (int i = 0; i < 18; i += 2) {
    keys.encipher(block);
    _auiP[i] = block._uiLeft;
    _auiP[i + 1] = block._uiRight;
  }
  for (auto& box : _auiS) {
    for (int i = 0; i < 256; i += 2) {
      keys.encipher(block);
      box[i] = block._uiLeft;
      box[i + 1] = block._uiRight;
    }
  }
}

// ------------------------------------------------------------ buffer modes

void CBlowFish::process(bool forward, const unsigned char* in, unsigned char* out, unsigned int n,
                        int mode) const {
  const Schedule keys{_auiP, _auiS};
  std::unique_ptr<unsigned char[]> copy;
  if (overlapsPartly(in, out, n)) {
    copy.reset(new unsigned char[n]);
    std::memcpy(copy.get(), in, n);
    in = copy.get();
  }

  const unsigned int blocks = n / 8;
  // The working chain; the stored one is never touched.
  std::uint32_t chainLeft = _oChain._uiLeft;
  std::uint32_t chainRight = _oChain._uiRight;

  // Runs step on groups of lanes blocks: groups of kLanes while they last,
  // then one group each of 4, 2 and 1 as the remainder needs, so that even
  // a short buffer has its blocks worked on side by side.
  const auto inGroups = [&blocks, &in, &out](auto&& step) {
    unsigned int b = 0;
    const auto group = [&](auto lanes) {
      constexpr int K = decltype(lanes)::value;
      step(lanes);
      b += K;
      in += 8 * K;
      out += 8 * K;
    };
    while (b + kLanes <= blocks) {
      group(std::integral_constant<int, kLanes>());
    }
    if (blocks - b >= 4) {
      group(std::integral_constant<int, 4>());
    }
    if (blocks - b >= 2) {
      group(std::integral_constant<int, 2>());
    }
    if (blocks - b >= 1) {
      group(std::integral_constant<int, 1>());
    }
  };

  // Where each block needs the one before it there are no lanes.  The chain
  // and the positions are copied into the loop's own variables: the lambdas
  // above hold the outer ones by reference, which would keep them in memory
  // and put a store and a load on the path from block to block.
  if (mode == CBC && forward) {
    std::uint32_t previousLeft = chainLeft;
    std::uint32_t previousRight = chainRight;
    const unsigned char* from = in;
    unsigned char* to = out;
    for (unsigned int b = 0; b < blocks; ++b, from += 8, to += 8) {
      std::uint32_t l = loadBigEndian(from) ^ previousLeft;
      std::uint32_t r = loadBigEndian(from + 4) ^ previousRight;
      keys.encipher<1>(&l, &r);
      previousLeft = l;
      previousRight = r;
      storeBigEndian(l, to);
      storeBigEndian(r, to + 4);
    }
  } else if (mode == CBC) {
    inGroups([&](auto lanes) {
      constexpr int K = decltype(lanes)::value;
      std::uint32_t l[K];
      std::uint32_t r[K];
      std::uint32_t cl[K];
      std::uint32_t cr[K];
      for (int k = 0; k < K; ++k) {
        cl[k] = l[k] = loadBigEndian(in + 8 * k);
        cr[k] = r[k] = loadBigEndian(in + 8 * k + 4);
      }
      keys.decipher<K>(l, r);
      for (int k = 0; k < K; ++k) {
        storeBigEndian(l[k] ^ chainLeft, out + 8 * k);
        storeBigEndian(r[k] ^ chainRight, out + 8 * k + 4);
        chainLeft = cl[k];
        chainRight = cr[k];
      }
    });
  } else if (mode == CFB && forward) {
    std::uint32_t previousLeft = chainLeft;
    std::uint32_t previousRight = chainRight;
    const unsigned char* from = in;
    unsigned char* to = out;
    for (unsigned int b = 0; b < blocks; ++b, from += 8, to += 8) {
      std::uint32_t l = previousLeft;
      std::uint32_t r = previousRight;
      keys.encipher<1>(&l, &r);
      l ^= loadBigEndian(from);
      r ^= loadBigEndian(from + 4);
      previousLeft = l;
      previousRight = r;
      storeBigEndian(l, to);
      storeBigEndian(r, to + 4);
    }
  } else if (mode == CFB) {
    // Every keystream block is the encipherment of the previous ciphertext
    // block, all of which are known in advance.
    inGroups([&](auto lanes) {
      constexpr int K = decltype(lanes)::value;
      std::uint32_t l[K];
      std::uint32_t r[K];
      std::uint32_t cl[K];
      std::uint32_t cr[K];
      for (int k = 0; k < K; ++k) {
        cl[k] = loadBigEndian(in + 8 * k);
        cr[k] = loadBigEndian(in + 8 * k + 4);
      }
      l[0] = chainLeft;
      r[0] = chainRight;
      for (int k = 1; k < K; ++k) {
        l[k] = cl[k - 1];
        r[k] = cr[k - 1];
      }
      keys.encipher<K>(l, r);
      for (int k = 0; k < K; ++k) {
        storeBigEndian(l[k] ^ cl[k], out + 8 * k);
        storeBigEndian(r[k] ^ cr[k], out + 8 * k + 4);
      }
      chainLeft = cl[K - 1];
      chainRight = cr[K - 1];
    });
  } else {
    // ECB, also for every mode value other than CBC and CFB.
    inGroups([&](auto lanes) {
      constexpr int K = decltype(lanes)::value;
      std::uint32_t l[K];
      std::uint32_t r[K];
      for (int k = 0; k < K; ++k) {
        l[k] = loadBigEndian(in + 8 * k);
        r[k] = loadBigEndian(in + 8 * k + 4);
      }
      if (forward) {
        keys.encipher<K>(l, r);
      } else {
        keys.decipher<K>(l, r);
      }
      for (int k = 0; k < K; ++k) {
        storeBigEndian(l[k], out + 8 * k);
        storeBigEndian(r[k], out + 8 * k + 4);
      }
    });
  }
}

void CBlowFish::encrypt(const unsigned char* in, unsigned char* out, unsigned int n, int mode) {
  checkBuffers(in, out, n);
  process(true, in, out, n, mode);
}

void CBlowFish::decrypt(const unsigned char* in, unsigned char* out, unsigned int n, int mode) {
  checkBuffers(in, out, n);
  process(false, in, out, n, mode);
}

void CBlowFish::encrypt(unsigned char* buf, unsigned int n, int mode) {
  encrypt(buf, buf, n, mode);
}

void CBlowFish::decrypt(unsigned char* buf, unsigned int n, int mode) {
  decrypt(buf, buf, n, mode);
}

// ------------------------------------------------------------ hex values

std::string CBlowFish::encodeValue(const std::string& value) {
  // The padded length must fit the 32-bit buffer length.
  if (value.size() > 0xFFFFFFFFu - 8u) {
    throwBufferLength();
  }
  const auto length = static_cast<std::uint32_t>(value.size());
  const std::uint32_t padding = 8 - length % 8;

  const std::uint32_t size = length + padding;
  ValueBytes bytes(size);
  unsigned char* p = bytes.data();
  std::copy(value.begin(), value.end(), p);
  std::memset(p + length, ' ', padding);
  encrypt(p, size, CBC);

  std::string text(2 * static_cast<std::size_t>(size), '\0');
  chars::writeLowerHex(p, size, &text[0]);
  return text;
}

std::string CBlowFish::decodeValue(const std::string& text) {
  const std::size_t pairs = text.size() / 2;
  if (pairs == 0 || pairs % 8 != 0 || pairs > 0xFFFFFFFFu) {
    throwBufferLength();
  }
  const auto count = static_cast<std::uint32_t>(pairs);

  ValueBytes bytes(count);
  unsigned char* p = bytes.data();
  const auto* digits = reinterpret_cast<const unsigned char*>(text.data());
  for (std::uint32_t i = 0; i < count; ++i) {
    p[i] = crypto_detail::hexPairByte(digits[2 * i], digits[2 * i + 1]);
  }
  decrypt(p, count, CBC);

  std::uint32_t end = count;
  while (end > 0 && p[end - 1] == ' ') {
    --end;
  }
  std::string value;
  value.reserve(end);
  for (std::uint32_t i = 0; i < end; ++i) {
    if (p[i] != 0) {
      value.push_back(static_cast<char>(p[i]));
    }
  }
  return value;
}

}  // namespace qel
