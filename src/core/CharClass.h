#ifndef QEL_SRC_CORE_CHARCLASS_H_
#define QEL_SRC_CORE_CHARCLASS_H_

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

}  // namespace chars
}  // namespace qel

#endif  // QEL_SRC_CORE_CHARCLASS_H_
