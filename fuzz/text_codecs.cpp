// Text conversions in both directions: UTF-8, UTF-7, the ANSI page (several
// single-byte pages and the double-byte ones) and the iconv pages, with the
// round trips that hold.
//
// Input: one byte choosing the conversion and the page, then the text (wide
// text is read as one character per four bytes, any value).

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "qel/core/StringHelper.h"

using qel::CStringHelper;
using qel::CWin32Helper;

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool isScalar(wchar_t c) {
  const auto cp = static_cast<std::uint32_t>(c);
  return cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

bool allScalars(const std::wstring& text) {
  for (wchar_t c : text) {
    if (!isScalar(c)) {
      return false;
    }
  }
  return true;
}

std::wstring wideFrom(const std::string& bytes) {
  std::wstring text;
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    std::uint32_t unit = 0;
    for (int k = 3; k >= 0; --k) {
      unit = unit << 8 | static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
    }
    text.push_back(static_cast<wchar_t>(unit));
  }
  return text;
}

// Whether bytes are well-formed UTF-8 (shortest forms of scalar values).
bool isUtf8(const std::string& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t trail = 0;
    std::uint32_t cp = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      trail = 1;
      cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      trail = 2;
      cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      trail = 3;
      cp = lead & 0x07u;
    } else {
      return false;
    }
    if (i + trail >= bytes.size()) {
      return false;
    }
    for (std::size_t k = 1; k <= trail; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if ((c & 0xC0) != 0x80) {
        return false;
      }
      cp = cp << 6 | (c & 0x3Fu);
    }
    static const std::uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[trail] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += trail + 1;
  }
  return true;
}

// RFC 2152: ASCII other than '+' directly, '+' as "+-", everything else as
// modified base64 of its UTF-16 code units between '+' and '-'.
std::string toUtf7(const std::wstring& text) {
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (c < 0x80) {
      out += c == L'+' ? std::string("+-") : std::string(1, static_cast<char>(c));
      ++i;
      continue;
    }
    out += '+';
    std::uint32_t bits = 0;
    int bitCount = 0;
    const auto put = [&](std::uint32_t unit) {
      bits = bits << 16 | unit;
      bitCount += 16;
      while (bitCount >= 6) {
        bitCount -= 6;
        out += kBase64[(bits >> bitCount) & 0x3F];
      }
      bits &= (1u << bitCount) - 1;
    };
    for (; i < text.size() && text[i] >= 0x80; ++i) {
      const auto cp = static_cast<std::uint32_t>(text[i]);
      if (cp >= 0x10000) {
        put(0xD800 + ((cp - 0x10000) >> 10));
        put(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        put(cp);
      }
    }
    if (bitCount > 0) {
      out += kBase64[(bits << (6 - bitCount)) & 0x3F];
    }
    out += '-';
  }
  return out;
}

std::string toUtf16Le(const std::wstring& text) {
  std::string out;
  const auto put = [&out](std::uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (wchar_t c : text) {
    const auto cp = static_cast<std::uint32_t>(c);
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

// Only the scalar values of text, others replaced.
std::wstring scalarsOf(const std::wstring& text) {
  std::wstring out = text;
  for (wchar_t& c : out) {
    if (!isScalar(c)) {
      c = kReplacement;
    }
  }
  return out;
}

const unsigned char* bytesOf(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

const unsigned int kAnsiPages[] = {1252, 1250, 1251, 1253, 1254, 1255,  1256,  1257,
                                   1258, 874,  437,  850,  866,  20866, 28591, 28605};
const unsigned int kIconvPages[] = {932,   936,   949,   950,   1200,  1201,  1361,  12000,
                                    12001, 20932, 50220, 50225, 51949, 52936, 54936, 37,
                                    500,   1026,  20127, 28597, 10000, 10007, 708,   720};

void utf8(const std::string& bytes) {
  const std::wstring wide = CWin32Helper::fromUTF8(bytes);
  QEL_FUZZ_CHECK(allScalars(wide));
  QEL_FUZZ_CHECK(wide.size() <= bytes.size());
  QEL_FUZZ_CHECK(CStringHelper::fromUTF8(bytes) == wide);
  QEL_FUZZ_CHECK(CWin32Helper::fromBytes(bytesOf(bytes), 0, static_cast<unsigned int>(bytes.size()),
                                         65001) == wide);
  const std::string back = CWin32Helper::toUTF8(wide);
  QEL_FUZZ_CHECK(isUtf8(back));
  QEL_FUZZ_CHECK(isUtf8(bytes) == (back == bytes));
  QEL_FUZZ_CHECK(CWin32Helper::fromUTF8(back) == wide);
}

void wideToUtf8(const std::wstring& wide) {
  const std::string bytes = CWin32Helper::toUTF8(wide);
  QEL_FUZZ_CHECK(isUtf8(bytes));
  QEL_FUZZ_CHECK(CStringHelper::toUTF8(wide) == bytes);
  QEL_FUZZ_CHECK(CWin32Helper::fromUTF8(bytes) == scalarsOf(wide));
}

void utf7(const std::string& bytes, const std::wstring& wide) {
  const std::wstring decoded =
      CWin32Helper::fromBytes(bytesOf(bytes), 0, static_cast<unsigned int>(bytes.size()), 65000);
  QEL_FUZZ_CHECK(allScalars(decoded));
  QEL_FUZZ_CHECK(decoded.size() <= bytes.size());
  QEL_FUZZ_CHECK(CStringHelper::fromBytes(bytesOf(bytes), 0,
                                          static_cast<unsigned int>(bytes.size()),
                                          CStringHelper::UTF7) == decoded);
  const std::wstring text = scalarsOf(wide);
  const std::string encoded = toUtf7(text);
  QEL_FUZZ_CHECK(CWin32Helper::fromBytes(bytesOf(encoded), 0,
                                         static_cast<unsigned int>(encoded.size()), 65000) == text);
}

void ansi(unsigned int page, const std::string& bytes, const std::wstring& wide) {
  QEL_FUZZ_CHECK(CWin32Helper::setAnsiCodePage(page));
  QEL_FUZZ_CHECK(CWin32Helper::getAnsiCodePage() == page);

  const std::wstring decoded = CWin32Helper::fromANSI(bytes);
  QEL_FUZZ_CHECK(decoded.size() == bytes.size());
  QEL_FUZZ_CHECK(CStringHelper::fromANSI(bytes) == decoded);
  QEL_FUZZ_CHECK(CWin32Helper::fromBytes(bytesOf(bytes), 0, static_cast<unsigned int>(bytes.size()),
                                         0) == decoded);
  const std::size_t nul = bytes.find('\0');
  const std::wstring upToNul = CWin32Helper::s2ws(bytes);
  QEL_FUZZ_CHECK(upToNul == decoded.substr(0, nul == std::string::npos ? decoded.size() : nul));
  // Every character the page defines goes back to a byte of that character.
  const std::string back = CWin32Helper::toAnsi(decoded);
  QEL_FUZZ_CHECK(back.size() == upToNul.size());
  QEL_FUZZ_CHECK(CWin32Helper::ws2s(decoded) == back);
  const std::wstring again = CWin32Helper::fromANSI(back);
  for (std::size_t i = 0; i < again.size(); ++i) {
    QEL_FUZZ_CHECK(decoded[i] == kReplacement ? back[i] == '?' : again[i] == decoded[i]);
  }

  // Any wide text: a character the page has, or '?'.
  const std::string narrow = CWin32Helper::toAnsi(wide);
  const std::size_t wideNul = wide.find(L'\0');
  QEL_FUZZ_CHECK(narrow.size() == (wideNul == std::wstring::npos ? wide.size() : wideNul));
  const std::wstring read = CWin32Helper::fromANSI(narrow);
  for (std::size_t i = 0; i < read.size(); ++i) {
    QEL_FUZZ_CHECK(read[i] == wide[i] || narrow[i] == '?');
  }
}

// A double-byte page as the ANSI page: the same characters as the page read
// by number, and every character the page defines goes back to itself.
void doubleByteAnsi(unsigned int page, const std::string& bytes, const std::wstring& wide) {
  QEL_FUZZ_CHECK(CWin32Helper::setAnsiCodePage(page));
  const std::wstring decoded = CWin32Helper::fromANSI(bytes);
  QEL_FUZZ_CHECK(allScalars(decoded));
  QEL_FUZZ_CHECK(decoded.size() <= bytes.size());
  QEL_FUZZ_CHECK(CWin32Helper::fromBytes(bytesOf(bytes), 0, static_cast<unsigned int>(bytes.size()),
                                         page) == decoded);
  const std::wstring upToNul = CWin32Helper::s2ws(bytes);
  const std::wstring again = CWin32Helper::fromANSI(CWin32Helper::toAnsi(upToNul));
  QEL_FUZZ_CHECK(again.size() == upToNul.size());
  for (std::size_t i = 0; i < again.size(); ++i) {
    QEL_FUZZ_CHECK(upToNul[i] == kReplacement ? again[i] == L'?' : again[i] == upToNul[i]);
  }
  // Any wide text: a character the page has, or '?'.
  const std::size_t wideNul = wide.find(L'\0');
  const std::wstring read = CWin32Helper::fromANSI(CWin32Helper::toAnsi(wide));
  QEL_FUZZ_CHECK(read.size() == (wideNul == std::wstring::npos ? wide.size() : wideNul));
  for (std::size_t i = 0; i < read.size(); ++i) {
    QEL_FUZZ_CHECK(read[i] == wide[i] || read[i] == L'?');
  }
  QEL_FUZZ_CHECK(CWin32Helper::setAnsiCodePage(1252));
}

void iconvPage(unsigned int page, const std::string& bytes, const std::wstring& wide,
               std::uint8_t where) {
  if (page == 932 || page == 936 || page == 949 || page == 950) {
    doubleByteAnsi(page, bytes, wide);
  }
  // A window of the bytes.
  const auto offset = static_cast<unsigned int>(bytes.empty() ? 0 : where % (bytes.size() + 1));
  const auto length = static_cast<unsigned int>(bytes.size() - offset);
  const std::wstring decoded = CWin32Helper::fromBytes(bytesOf(bytes), offset, length, page);
  QEL_FUZZ_CHECK(allScalars(decoded));
  QEL_FUZZ_CHECK(decoded.size() <= length);

  const std::wstring text = scalarsOf(wide);
  if (page == 1200) {
    const std::string encoded = toUtf16Le(text);
    QEL_FUZZ_CHECK(CWin32Helper::fromBytes(bytesOf(encoded), 0,
                                           static_cast<unsigned int>(encoded.size()),
                                           1200) == text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qel_fuzz::quietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::uint8_t select = data[0];
  const std::uint8_t where = data[1];
  const std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::wstring wide = wideFrom(bytes);
  switch (select % 6) {
    case 0:
      utf8(bytes);
      break;
    case 1:
      wideToUtf8(wide);
      break;
    case 2:
      utf7(bytes, wide);
      break;
    case 3:
      ansi(kAnsiPages[(select / 6) % (sizeof(kAnsiPages) / sizeof(kAnsiPages[0]))], bytes, wide);
      break;
    case 4:
      iconvPage(kIconvPages[(select / 6) % (sizeof(kIconvPages) / sizeof(kIconvPages[0]))], bytes,
                wide, where);
      break;
    default: {
      // A page number of any value: a known one decodes, an unknown one
      // gives nothing.
      const unsigned int page = static_cast<unsigned int>(where) << 8 | (select / 6);
      const std::wstring decoded =
          CWin32Helper::fromBytes(bytesOf(bytes), 0, static_cast<unsigned int>(bytes.size()), page);
      QEL_FUZZ_CHECK(allScalars(decoded));
      QEL_FUZZ_CHECK(decoded.size() <= bytes.size());
      break;
    }
  }
  return 0;
}
