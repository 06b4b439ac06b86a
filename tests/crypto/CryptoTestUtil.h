#ifndef QEL_TESTS_CRYPTO_CRYPTOTESTUTIL_H_
#define QEL_TESTS_CRYPTO_CRYPTOTESTUTIL_H_

#include <cstdlib>
#include <string>
#include <vector>

namespace qel_test {

// Bytes of a text of hexadecimal digit pairs.
inline std::vector<unsigned char> fromHex(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(
        static_cast<unsigned char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

inline std::string toHex(const unsigned char* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

inline std::string toHex(const std::vector<unsigned char>& bytes) {
  return toHex(bytes.data(), bytes.size());
}

}  // namespace qel_test

#endif  // QEL_TESTS_CRYPTO_CRYPTOTESTUTIL_H_
