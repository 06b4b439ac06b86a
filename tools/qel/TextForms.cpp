#include "TextForms.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qel/core/BinaryText.h"
#include "qel/core/StringHelper.h"

namespace qeltool {

std::string escapeText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\x" + qel::toHex(&byte, 1);
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string hexPreview(const unsigned char* data, std::size_t size) {
  constexpr std::size_t kPreview = 16;
  const std::string digits = qel::toHex(data, std::min(size, kPreview));
  std::string out;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out += i == 0 ? "" : " ";
    out.append(digits, i, 2);
  }
  if (size > kPreview) {
    out += " ...";
  }
  return out;
}

}  // namespace qeltool
