#ifndef QEL_SRC_CORE_TEXT_H_
#define QEL_SRC_CORE_TEXT_H_

#include <cstddef>
#include <limits>
#include <string>

namespace qel {
namespace chars {

// White space as the C library's isspace sees it in the "C" locale, for
// narrow and wide characters alike.
template <typename C>
constexpr bool isCSpace(C c) {
  return c == C(' ') || (c >= C('\t') && c <= C('\r'));
}

// The value of c as a digit in bases up to 36 (letters in either case), or
// 99 for a character that is no digit, so that "digitValue(c) < base" tests
// membership in any base.
template <typename C>
constexpr int digitValue(C c) {
  if (c >= C('0') && c <= C('9')) {
    return static_cast<int>(c - C('0'));
  }
  if (c >= C('a') && c <= C('z')) {
    return static_cast<int>(c - C('a')) + 10;
  }
  if (c >= C('A') && c <= C('Z')) {
    return static_cast<int>(c - C('A')) + 10;
  }
  return 99;
}

// The C library's strtol/strtoul reading of n characters: leading white
// space, an optional sign, in base 16 an optional 0x prefix, then digits up
// to the first character that is not one.  No digits give 0.  The magnitude
// saturates at 2^64 - 1 (overflow is flagged); the caller narrows it to its
// type as the C function would.
struct CNumber {
  bool bNegative = false;
  bool bOverflow = false;
  unsigned long long nMagnitude = 0;
};

template <typename C>
CNumber readCNumber(const C* s, std::size_t n, int base) {
  CNumber result;
  std::size_t i = 0;
  while (i < n && isCSpace(s[i])) {
    ++i;
  }
  if (i < n && (s[i] == C('+') || s[i] == C('-'))) {
    result.bNegative = s[i] == C('-');
    ++i;
  }
  if (base == 16 && i + 2 < n && s[i] == C('0') && (s[i + 1] == C('x') || s[i + 1] == C('X')) &&
      digitValue(s[i + 2]) < 16) {
    i += 2;
  }
  const unsigned long long limit = std::numeric_limits<unsigned long long>::max();
  for (; i < n; ++i) {
    const int d = digitValue(s[i]);
    if (d >= base) {
      break;
    }
    if (result.nMagnitude > (limit - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) {
      result.bOverflow = true;
    } else {
      result.nMagnitude =
          result.nMagnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
  }
  return result;
}

constexpr char kLowerHexDigits[] = "0123456789abcdef";

// Each of the n bytes as two lower-case hexadecimal digits, at out.
inline void writeLowerHex(const unsigned char* bytes, std::size_t n, char* out) {
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = kLowerHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kLowerHexDigits[bytes[i] & 0x0F];
  }
}

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of c as a base64 digit (RFC 4648's standard alphabet), -1 for
// any other character, padding included.
constexpr int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}

}  // namespace chars
}  // namespace qel

#endif  // QEL_SRC_CORE_TEXT_H_
