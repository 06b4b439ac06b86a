#include "TextForms.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qel/core/StringHelper.h"

namespace qeltool {

namespace {

const char kHexDigits[] = "0123456789abcdef";
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

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
          out += "\\x";
          out += kHexDigits[byte >> 4];
          out += kHexDigits[byte & 0xf];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string toHex(const unsigned char* data, std::size_t size, const char* separator) {
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0) {
      out += separator;
    }
    out += kHexDigits[data[i] >> 4];
    out += kHexDigits[data[i] & 0xf];
  }
  return out;
}

std::string hexPreview(const unsigned char* data, std::size_t size) {
  constexpr std::size_t kPreview = 16;
  std::string out = toHex(data, std::min(size, kPreview), " ");
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

bool parseHex(const std::string& text, std::string& out) {
  if (text.size() % 2 != 0) {
    return false;
  }
  out.clear();
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigitValue(text[i]);
    const int low = hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    out += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string base64Encode(const unsigned char* data, std::size_t size) {
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < size; i += 3) {
    const std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += kBase64[(n >> 6) & 63];
    out += kBase64[n & 63];
  }
  if (i < size) {
    std::uint32_t n = data[i] << 16;
    if (i + 1 < size) {
      n |= data[i + 1] << 8;
    }
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += i + 1 < size ? kBase64[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool base64Decode(const std::string& text, std::string& out) {
  if (text.size() % 4 != 0) {
    return false;
  }
  out.clear();
  std::uint32_t n = 0;
  int bits = 0;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '=') {
      if (i + 2 < text.size()) {
        return false;
      }
      ++padding;
      continue;
    }
    if (padding != 0) {
      return false;
    }
    const char* at = std::strchr(kBase64, c);
    if (at == nullptr || c == '\0') {
      return false;
    }
    n = (n << 6) | static_cast<std::uint32_t>(at - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((n >> bits) & 0xff);
    }
  }
  return true;
}

}  // namespace qeltool
