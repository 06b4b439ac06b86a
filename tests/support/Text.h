#ifndef QEL_TESTS_SUPPORT_TEXT_H_
#define QEL_TESTS_SUPPORT_TEXT_H_

#include <cstdlib>
#include <string>

namespace qel_test {

// The bytes that pairs of hexadecimal digits spell: "c3a9" is "\xC3\xA9".
inline std::string bytesOfHex(const std::string& digits) {
  std::string out;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}

// Each byte as the character of the same value (Latin-1).
inline std::wstring widen(const std::string& bytes) {
  std::wstring out;
  for (char c : bytes) {
    out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_TEXT_H_
