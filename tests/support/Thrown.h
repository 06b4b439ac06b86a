#ifndef QEL_TESTS_SUPPORT_THROWN_H_
#define QEL_TESTS_SUPPORT_THROWN_H_

#include <string>

namespace qel_test {

// The message of the Exception that call throws; another type goes on.
template <typename Exception, typename Call>
std::wstring messageOf(Call&& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.getMessage();
  }
  return L"<nothing thrown>";
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_THROWN_H_
