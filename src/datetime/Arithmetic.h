#ifndef QEL_SRC_DATETIME_ARITHMETIC_H_
#define QEL_SRC_DATETIME_ARITHMETIC_H_

#include <cstdint>

namespace qel {
namespace arith {

// Signed 32-bit arithmetic that wraps as two's-complement hardware does,
// without the undefined behaviour of an overflowing int: the work is done on
// unsigned numbers, which wrap by definition, and the bits are read back as
// a signed number.

constexpr std::int32_t toSigned(std::uint32_t bits) {
  return bits <= 0x7FFFFFFFu ? static_cast<std::int32_t>(bits)
                             : -static_cast<std::int32_t>(~bits) - 1;
}

constexpr std::int32_t add(std::int32_t a, std::int32_t b) {
  return toSigned(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

constexpr std::int32_t sub(std::int32_t a, std::int32_t b) {
  return toSigned(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

constexpr std::int32_t mul(std::int32_t a, std::int32_t b) {
  return toSigned(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// The low 16 bits, as a store into an unsigned short keeps them.
constexpr unsigned short toUShort(std::int32_t value) {
  return static_cast<unsigned short>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

}  // namespace arith
}  // namespace qel

#endif  // QEL_SRC_DATETIME_ARITHMETIC_H_
