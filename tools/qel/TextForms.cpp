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

// Converts archive text (ANSI code page) to UTF-8; sets exact to whether
// converting back gives the same bytes.
std::string ansiToUtf8(const std::string& text, bool& exact) {
  const std::string utf8 = qel::CWin32Helper::toUTF8(qel::CWin32Helper::fromANSI(text));
  std::size_t unrepresentable = 0;
  std::string first;
  exact = utf8ToAnsiExact(utf8, unrepresentable, first) == text && unrepresentable == 0;
  return utf8;
}

std::string ansiToUtf8(const std::string& text) {
  bool exact = false;
  return ansiToUtf8(text, exact);
}

std::string utf8ToAnsi(const std::string& text) {
  return qel::CWin32Helper::toAnsi(qel::CWin32Helper::fromUTF8(text));
}

namespace {

std::string describeCharacter(wchar_t c) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
  return "\"" + qel::CWin32Helper::toUTF8(std::wstring(1, c)) + "\" (" + code + ")";
}

// One piece of text without NUL bytes.
void appendAnsi(const std::string& piece, std::string& out, std::size_t& unrepresentable,
                std::string& first) {
  const std::wstring wide = qel::CWin32Helper::fromUTF8(piece);
  const std::string ansi = qel::CWin32Helper::toAnsi(wide);
  out += ansi;
  const bool valid = qel::CWin32Helper::toUTF8(wide) == piece;
  if (valid && qel::CWin32Helper::fromANSI(ansi) == wide) {
    return;
  }
  if (!valid) {
    ++unrepresentable;
    if (first.empty()) {
      first = "an invalid UTF-8 sequence";
    }
  }
  // Only text that does not convert back is looked at character by
  // character, to find what the code page lacks.
  for (const wchar_t c : wide) {
    const std::wstring one(1, c);
    if (c == 0xFFFD && !valid) {
      continue;
    }
    if (qel::CWin32Helper::fromANSI(qel::CWin32Helper::toAnsi(one)) != one) {
      ++unrepresentable;
      if (first.empty()) {
        first = describeCharacter(c);
      }
    }
  }
}

}  // namespace

std::string utf8ToAnsiExact(const std::string& text, std::size_t& unrepresentable,
                            std::string& first) {
  unrepresentable = 0;
  first.clear();
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = text.find('\0', start);
    appendAnsi(text.substr(start, nul == std::string::npos ? std::string::npos : nul - start), out,
               unrepresentable, first);
    if (nul == std::string::npos) {
      return out;
    }
    out += '\0';
    start = nul + 1;
  }
}

}  // namespace qeltool
