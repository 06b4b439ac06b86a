#include "qel/core/StringHelper.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <limits>
#include <memory>

#include "core/Codecs.h"

namespace qel {

namespace {

const unsigned char* bytesOf(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// The part of a string before its first NUL.
template <typename String>
std::size_t lengthToNul(const String& text) {
  const auto nul = text.find(typename String::value_type(0));
  return nul == String::npos ? text.size() : nul;
}

}  // namespace

std::wstring CWin32Helper::s2ws(const std::string& text) {
  std::wstring out;
  codec::decodeAnsi(bytesOf(text), lengthToNul(text), out);
  return out;
}

std::string CWin32Helper::ws2s(const std::wstring& text) {
  std::string out;
  codec::encodeAnsi(text.data(), lengthToNul(text), out);
  return out;
}

std::string CWin32Helper::toUTF8(const std::wstring& text) {
  std::string out;
  codec::encodeUtf8(text.data(), text.size(), out);
  return out;
}

std::wstring CWin32Helper::fromUTF8(const std::string& text) {
  std::wstring out;
  codec::decodeUtf8(bytesOf(text), text.size(), out);
  return out;
}

std::string CWin32Helper::toAnsi(const std::wstring& text) {
  return ws2s(text);
}

std::wstring CWin32Helper::fromANSI(const std::string& text) {
  std::wstring out;
  codec::decodeAnsi(bytesOf(text), text.size(), out);
  return out;
}

std::wstring CWin32Helper::fromBytes(const unsigned char* bytes, unsigned int offset,
                                     unsigned int length, unsigned int codePage) {
  std::wstring out;
  if (bytes == nullptr || length == 0) {
    return out;
  }
  if (!codec::decodeCodePage(codePage, bytes + offset, length, out)) {
    out.clear();
  }
  return out;
}

bool CWin32Helper::setAnsiCodePage(unsigned int codePage) {
  return codec::setAnsiCodePage(codePage);
}

unsigned int CWin32Helper::getAnsiCodePage() {
  return codec::ansiCodePage();
}

namespace {

// Byte comparison, after folding ASCII capitals when fold is set, as the C
// runtime does in its default locale; both strings end at their terminator.
int compareBytes(const std::string& left, const std::string& right, bool fold) {
  for (std::size_t i = 0;; ++i) {
    int l = i < left.size() ? static_cast<unsigned char>(left[i]) : 0;
    int r = i < right.size() ? static_cast<unsigned char>(right[i]) : 0;
    if (fold && l >= 'A' && l <= 'Z') {
      l += 'a' - 'A';
    }
    if (fold && r >= 'A' && r <= 'Z') {
      r += 'a' - 'A';
    }
    if (l != r || l == 0) {
      return l - r;
    }
  }
}

}  // namespace

int CStringHelper::compareNoCase(const std::wstring& a, const std::wstring& b) {
  if (codec::ansiDoubleByte()) {
    // The second byte of a character may be an ASCII letter, which is no
    // letter there: the characters are folded before they are encoded.
    std::wstring left = a;
    std::wstring right = b;
    toLower(left);
    toLower(right);
    return compareBytes(CWin32Helper::ws2s(left), CWin32Helper::ws2s(right), false);
  }
  return compareBytes(CWin32Helper::ws2s(a), CWin32Helper::ws2s(b), true);
}

namespace {

// Fields between separators; no empty field after a final separator, no
// field at all for an empty text.
template <typename String>
void splitFields(const String& text, typename String::value_type separator,
                 std::vector<String>& out) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == String::npos) {
      end = text.size();
    }
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

template <bool kUpper>
void mapAsciiCase(std::wstring& text) {
  constexpr wchar_t from = kUpper ? L'a' : L'A';
  constexpr wchar_t to = kUpper ? L'A' : L'a';
  for (wchar_t& c : text) {
    if (c >= from && c <= from + 25) {
      c = static_cast<wchar_t>(c - from + to);
    }
  }
}

std::int32_t clampTo32(long long value) {
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

std::int32_t parse32(const std::wstring& text, int base) {
  // A 64-bit parse clamped to 32 bits gives the saturation of a 32-bit long.
  return clampTo32(std::wcstoll(text.c_str(), nullptr, base));
}

}  // namespace

void CStringHelper::split(const std::wstring& text, wchar_t separator,
                          std::vector<std::wstring>& out) {
  splitFields(text, separator, out);
}

void CStringHelper::split(const std::string& text, char separator, std::vector<std::string>& out) {
  splitFields(text, separator, out);
}

void CStringHelper::toUpper(std::wstring& text) {
  mapAsciiCase<true>(text);
}
void CStringHelper::toLower(std::wstring& text) {
  mapAsciiCase<false>(text);
}

std::string CStringHelper::toUTF8(const std::wstring& text) {
  return CWin32Helper::toUTF8(text);
}
std::wstring CStringHelper::fromUTF8(const std::string& text) {
  return CWin32Helper::fromUTF8(text);
}
std::string CStringHelper::toAnsi(const std::wstring& text) {
  return CWin32Helper::toAnsi(text);
}
std::wstring CStringHelper::fromANSI(const std::string& text) {
  return CWin32Helper::fromANSI(text);
}

std::wstring CStringHelper::fromBytes(const unsigned char* bytes, unsigned int offset,
                                      unsigned int length, CodePage codePage) {
  unsigned int windowsPage = 65001;
  if (codePage == ANSI) {
    windowsPage = 0;
  } else if (codePage == UTF7) {
    windowsPage = 65000;
  }
  return CWin32Helper::fromBytes(bytes, offset, length, windowsPage);
}

short CStringHelper::toShort(const std::wstring& text) {
  const auto low = static_cast<std::uint16_t>(static_cast<std::uint32_t>(toInt(text)));
  return static_cast<short>(low >= 0x8000 ? static_cast<int>(low) - 0x10000
                                          : static_cast<int>(low));
}

int CStringHelper::toInt(const std::wstring& text) {
  return parse32(text, 10);
}
std::int32_t CStringHelper::toLong(const std::wstring& text) {
  return parse32(text, 10);
}
std::int32_t CStringHelper::toLong(const std::wstring& text, int base) {
  return parse32(text, base);
}

unsigned long long CStringHelper::toULongLong(const std::wstring& text, int base) {
  return std::strtoull(CWin32Helper::ws2s(text).c_str(), nullptr, base);
}

char* CStringHelper::fromInt(std::uint32_t value, char* buffer, int size, int radix) {
  if (buffer == nullptr) {
    return nullptr;
  }
  if (size > 0) {
    std::snprintf(buffer, static_cast<std::size_t>(size), radix == 16 ? "%" PRIX32 : "%" PRIu32,
                  value);
  }
  return buffer;
}

namespace {

// printf into a 1,024-byte stack buffer, or a heap buffer of the exact size
// the first attempt reported.  An expansion the C library refuses gives "".
std::string formatVa(const char* fmt, va_list args) {
  if (fmt == nullptr) {
    return std::string();
  }
  char stackBuffer[1024];
  va_list copy;
  va_copy(copy, args);
  // va_copy initialises copy; the analyzer does not model it.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int count = std::vsnprintf(stackBuffer, sizeof(stackBuffer), fmt, copy);
  va_end(copy);
  if (count < 0) {
    return std::string();
  }
  if (static_cast<std::size_t>(count) < sizeof(stackBuffer)) {
    return std::string(stackBuffer, static_cast<std::size_t>(count));
  }
  std::string result(static_cast<std::size_t>(count), '\0');
  va_copy(copy, args);
  const int written = std::vsnprintf(&result[0], result.size() + 1, fmt, copy);
  va_end(copy);
  if (written != count) {
    return std::string();
  }
  return result;
}

}  // namespace

std::wstring CStringHelper::format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const std::string narrow = formatVa(fmt, args);
  va_end(args);
  return CWin32Helper::fromANSI(narrow);
}

std::string CStringHelper::formatToByteString(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string narrow = formatVa(fmt, args);
  va_end(args);
  return narrow;
}

}  // namespace qel
