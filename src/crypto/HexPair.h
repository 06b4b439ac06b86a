#ifndef QEL_SRC_CRYPTO_HEXPAIR_H_
#define QEL_SRC_CRYPTO_HEXPAIR_H_

#include <cstdint>

#include "core/Text.h"

namespace qel {
namespace crypto_detail {

// Value of a hexadecimal digit, or -1.
inline int hexDigit(unsigned char c) {
  const int value = chars::digitValue(c);
  return value < 16 ? value : -1;
}

// The low 8 bits of what strtol(text, nullptr, 16) gives for the two
// characters c0 c1 taken as a string: leading white space and one sign are
// skipped, digits are read until the first non-digit, no digit gives 0.
// (A "0x" prefix changes nothing here: two characters leave no room for a
// digit after it, and the "0" alone already reads as 0.)  A NUL ends the
// string, and a NUL is neither white space, a sign nor a digit.
inline std::uint8_t hexPairByte(unsigned char c0, unsigned char c1) {
  const int d0 = hexDigit(c0);
  if (d0 >= 0) {
    const int d1 = hexDigit(c1);
    return static_cast<std::uint8_t>(d1 >= 0 ? d0 * 16 + d1 : d0);
  }
  // Two characters, or one before a NUL, as strtol reads them.
  const unsigned char text[2] = {c0, c1};
  const chars::CNumber number = chars::readCNumber(text, c0 == 0 ? 0 : c1 == 0 ? 1 : 2, 16);
  const auto low = static_cast<std::uint8_t>(number.nMagnitude);
  return static_cast<std::uint8_t>(number.bNegative ? 0U - low : low);
}

}  // namespace crypto_detail
}  // namespace qel

#endif  // QEL_SRC_CRYPTO_HEXPAIR_H_
