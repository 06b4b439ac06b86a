#include "qel/core/HashCode.h"

#include <cstdint>

namespace qel {

namespace {

constexpr std::uint32_t kFnvOffsetBasis = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;

std::uint32_t fnv1a(const std::string& text) {
  std::uint32_t hash = kFnvOffsetBasis;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= kFnvPrime;
  }
  return hash;
}

// The byte of value at position index (0 is the least significant) as a
// signed 8-bit number, widened.
std::uint32_t signedByte(std::uint32_t value, int index) {
  const auto byte = static_cast<std::int8_t>(static_cast<std::uint8_t>(value >> (8 * index)));
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(byte));
}

long long multiplyAdd33(std::uint64_t hash, const unsigned char* bytes, unsigned int length) {
  for (unsigned int i = 0; i < length; ++i) {
    hash = hash * 33u + bytes[i];
  }
  return static_cast<long long>(hash);
}

}  // namespace

int CHashCode::combineHash(int first, int second) {
  const auto a = static_cast<std::uint32_t>(first);
  const auto b = static_cast<std::uint32_t>(second);
  const std::uint32_t terms[8] = {
      signedByte(a, 0), signedByte(a, 1), signedByte(a, 2), signedByte(b, 0),
      signedByte(b, 1), signedByte(b, 2), signedByte(b, 3), second < 0 ? 0xFFFFFFFFu : 0u};
  std::uint32_t h = 0;
  for (std::uint32_t term : terms) {
    h = 21u * h + term;
  }
  return static_cast<int>(h);
}

int CHashCode::createHash(int start, const std::string& text) {
  if (text.empty()) {
    return combineHash(start, -1);
  }
  const auto hash = static_cast<int>(fnv1a(text));
  if (start == -1) {
    return hash;
  }
  return combineHash(start, hash);
}

long long CHashCode::addToHashCode(unsigned char* bytes, unsigned int length, long long hash) {
  return multiplyAdd33(static_cast<std::uint64_t>(hash), bytes, length);
}

long long CHashCode::addToHashCodeFinal(unsigned char* bytes, unsigned int length, long long hash) {
  const auto extended =
      static_cast<std::uint64_t>(multiplyAdd33(static_cast<std::uint64_t>(hash), bytes, length));
  const std::uint64_t product = extended * 33u;
  return static_cast<long long>(product);
}

}  // namespace qel
