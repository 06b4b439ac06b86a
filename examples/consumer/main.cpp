// Links the installed libqelcore through find_package(QelCore) and uses a few
// of its exported classes; exits non-zero when any answer is wrong.
#include <iostream>

#include "qel/QelCore.h"

int main() {
  int failures = 0;
  if (qel::CHashCode::createHash(-1, "abc") != 440920331) {
    std::cerr << "hash code differs\n";
    ++failures;
  }
  if (qel::CStringHelper::fromUTF8("\xC3\xA9t\xC3\xA9") != L"\u00E9t\u00E9") {
    std::cerr << "UTF-8 conversion differs\n";
    ++failures;
  }
  try {
    throw qel::FileNotFoundException(L"missing.cfg");
  } catch (const qel::IOException& e) {
    if (e.toString() != L"FileNotFoundException: missing.cfg") {
      std::cerr << "exception text differs\n";
      ++failures;
    }
  }
  std::cout << (failures == 0 ? "QelCore consumer: OK" : "QelCore consumer: FAILED") << '\n';
  return failures == 0 ? 0 : 1;
}
