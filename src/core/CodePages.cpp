// The ANSI page and the other Windows code pages.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/Codecs.h"
#include "os/Iconv.h"

namespace qel {
namespace codec {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F.  The five bytes the page leaves undefined
// map to the C1 control of the same value, as Windows maps them.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// A page that code page 0 may mean.  A single-byte page has the code point
// of every byte and, sorted by code point, the byte of every code point the
// page can represent.  A double-byte page (charset set) converts through
// iconv instead: its characters take one or two bytes, and a second byte
// may be an ASCII one, so no byte is known to be ASCII on its own.
struct AnsiPage {
  unsigned int codePage = 0;
  const char* charset = nullptr;  // iconv's name of a double-byte page
  // Of a double-byte page, the characters below U+10000 that iconv would
  // give the bytes of another character.
  std::vector<bool> oneWay;
  std::array<wchar_t, 256> toUnicode{};
  std::vector<std::pair<wchar_t, unsigned char>> fromUnicode;
  bool asciiCompatible = true;
  // asciiCompatible, and no byte from 0x80 up stands for an ASCII character:
  // a byte is then an ASCII character exactly when its code point is one.
  bool keepsAscii = true;

  void buildReverse() {
    for (int b = 0; b < 256; ++b) {
      // Lower bytes win when two bytes share a code point.
      fromUnicode.emplace_back(toUnicode[static_cast<std::size_t>(b)],
                               static_cast<unsigned char>(b));
    }
    std::stable_sort(fromUnicode.begin(), fromUnicode.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (int b = 0; b < 128; ++b) {
      asciiCompatible = asciiCompatible && toUnicode[static_cast<std::size_t>(b)] == b;
    }
    keepsAscii = asciiCompatible;
    for (int b = 128; b < 256; ++b) {
      const wchar_t c = toUnicode[static_cast<std::size_t>(b)];
      keepsAscii = keepsAscii && !(c >= 0 && c < 0x80);
    }
  }

  // Characters that a double-byte page encodes as '?' by itself: those
  // iconv would give another character's bytes, and the tag characters,
  // which it would drop.
  bool encodedApart(wchar_t c) const {
    const auto cp = static_cast<std::uint32_t>(std::char_traits<wchar_t>::to_int_type(c));
    return cp < 0x10000 ? oneWay[cp] : (cp >> 7) == (0xE0000u >> 7);
  }

  char encode(wchar_t c) const {
    if (asciiCompatible && c >= 0 && c < 0x80) {
      return static_cast<char>(c);
    }
    auto it = std::lower_bound(fromUnicode.begin(), fromUnicode.end(), c,
                               [](const auto& entry, wchar_t key) { return entry.first < key; });
    // U+FFFD stands for bytes the page does not define: it is never encoded
    // back to one of them.
    if (it == fromUnicode.end() || it->first != c || c == kReplacement) {
      return '?';
    }
    return static_cast<char>(it->second);
  }
};

std::unique_ptr<AnsiPage> makeCp1252() {
  auto page = std::make_unique<AnsiPage>();
  page->codePage = 1252;
  for (int b = 0; b < 256; ++b) {
    page->toUnicode[static_cast<std::size_t>(b)] = (b >= 0x80 && b < 0xA0)
                                                       ? static_cast<wchar_t>(kCp1252High[b - 0x80])
                                                       : static_cast<wchar_t>(b);
  }
  page->buildReverse();
  return page;
}

// Windows code-page numbers and the names the C library's iconv knows them by.
const char* iconvName(unsigned int codePage) {
  static const std::map<unsigned int, const char*> kNames = {{1, "CP437"},
                                                             {2, "MACINTOSH"},
                                                             {37, "IBM037"},
                                                             {437, "CP437"},
                                                             {500, "IBM500"},
                                                             {708, "ISO-8859-6"},
                                                             {720, "CP720"},
                                                             {737, "CP737"},
                                                             {775, "CP775"},
                                                             {850, "CP850"},
                                                             {852, "CP852"},
                                                             {855, "CP855"},
                                                             {857, "CP857"},
                                                             {858, "CP858"},
                                                             {860, "CP860"},
                                                             {861, "CP861"},
                                                             {862, "CP862"},
                                                             {863, "CP863"},
                                                             {864, "CP864"},
                                                             {865, "CP865"},
                                                             {866, "CP866"},
                                                             {869, "CP869"},
                                                             {874, "CP874"},
                                                             {875, "CP875"},
                                                             {932, "CP932"},
                                                             {936, "CP936"},
                                                             {949, "CP949"},
                                                             {950, "CP950"},
                                                             {1026, "IBM1026"},
                                                             {1200, "UTF-16LE"},
                                                             {1201, "UTF-16BE"},
                                                             {1250, "CP1250"},
                                                             {1251, "CP1251"},
                                                             {1252, "CP1252"},
                                                             {1253, "CP1253"},
                                                             {1254, "CP1254"},
                                                             {1255, "CP1255"},
                                                             {1256, "CP1256"},
                                                             {1257, "CP1257"},
                                                             {1258, "CP1258"},
                                                             {1361, "JOHAB"},
                                                             {10000, "MACINTOSH"},
                                                             {10007, "MAC-CYRILLIC"},
                                                             {12000, "UTF-32LE"},
                                                             {12001, "UTF-32BE"},
                                                             {20127, "ASCII"},
                                                             {20866, "KOI8-R"},
                                                             {20932, "EUC-JP"},
                                                             {21866, "KOI8-U"},
                                                             {28591, "ISO-8859-1"},
                                                             {28592, "ISO-8859-2"},
                                                             {28593, "ISO-8859-3"},
                                                             {28594, "ISO-8859-4"},
                                                             {28595, "ISO-8859-5"},
                                                             {28596, "ISO-8859-6"},
                                                             {28597, "ISO-8859-7"},
                                                             {28598, "ISO-8859-8"},
                                                             {28599, "ISO-8859-9"},
                                                             {28603, "ISO-8859-13"},
                                                             {28605, "ISO-8859-15"},
                                                             {38598, "ISO-8859-8"},
                                                             {50220, "ISO-2022-JP"},
                                                             {50221, "ISO-2022-JP"},
                                                             {50222, "ISO-2022-JP"},
                                                             {50225, "ISO-2022-KR"},
                                                             {51932, "EUC-JP"},
                                                             {51936, "GB2312"},
                                                             {51949, "EUC-KR"},
                                                             {52936, "HZ-GB-2312"},
                                                             {54936, "GB18030"}};
  auto it = kNames.find(codePage);
  return it == kNames.end() ? nullptr : it->second;
}

std::size_t unitSize(unsigned int codePage) {
  switch (codePage) {
    case 1200:
    case 1201:
      return 2;
    case 12000:
    case 12001:
      return 4;
    default:
      return 1;
  }
}

// Pages whose characters may take more than one byte.
bool isMultiByte(unsigned int codePage) {
  switch (codePage) {
    case 932:
    case 936:
    case 949:
    case 950:
    case 1200:
    case 1201:
    case 1361:
    case 12000:
    case 12001:
    case 20932:
    case 50220:
    case 50221:
    case 50222:
    case 50225:
    case 51932:
    case 51936:
    case 51949:
    case 52936:
    case 54936:
      return true;
    default:
      return false;
  }
}

// The multi-byte pages that may be the ANSI page: every character one or two
// bytes, ASCII in one.
bool isDoubleByteAnsi(unsigned int codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

void appendCodePoints(const std::u32string& points, std::wstring& out) {
  out.reserve(out.size() + points.size());
  for (char32_t cp : points) {
    const bool valid = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    out.push_back(valid ? static_cast<wchar_t>(cp) : kReplacement);
  }
}

// A double-byte page once iconv is found to convert it both ways.  Otherwise
// builds the table of a single-byte page by decoding each byte alone; a byte
// the page does not define maps to U+FFFD.  Null for an unknown page or
// another one whose bytes are not all single characters.
std::unique_ptr<AnsiPage> makePageWithIconv(unsigned int codePage) {
  const char* name = iconvName(codePage);
  if (name == nullptr) {
    return nullptr;
  }
  if (isDoubleByteAnsi(codePage)) {
    if (!platform::iconvConvertsBothWays(name)) {
      return nullptr;
    }
    auto page = std::make_unique<AnsiPage>();
    page->codePage = codePage;
    page->charset = name;
    page->oneWay = platform::oneWayCharacters(name);
    if (page->oneWay.empty()) {
      return nullptr;
    }
    page->asciiCompatible = true;
    page->keepsAscii = false;
    return page;
  }
  if (isMultiByte(codePage)) {
    return nullptr;
  }
  auto page = std::make_unique<AnsiPage>();
  page->codePage = codePage;
  for (int b = 0; b < 256; ++b) {
    const unsigned char byte = static_cast<unsigned char>(b);
    std::u32string points;
    if (!platform::decodeWithIconv(name, &byte, 1, 1, points)) {
      return nullptr;
    }
    if (points.size() != 1) {
      return nullptr;
    }
    const char32_t cp = points[0];
    page->toUnicode[static_cast<std::size_t>(b)] =
        (cp <= 0xFFFF) ? static_cast<wchar_t>(cp) : kReplacement;
  }
  page->buildReverse();
  return page;
}

// The page that code page 0 means; null until the registry is first used.
// Constant-initialised, so a reader needs no guard once it is set.
std::atomic<const AnsiPage*> g_currentPage{nullptr};

// Tables are built once and kept for the life of the process, so a reader
// never sees a table freed under it.
class PageRegistry {
 public:
  PageRegistry() {
    auto cp1252 = makeCp1252();
    g_currentPage.store(cp1252.get(), std::memory_order_release);
    g_ansiAsciiCompatible.store(cp1252->asciiCompatible, std::memory_order_relaxed);
    g_ansiKeepsAscii.store(cp1252->keepsAscii, std::memory_order_relaxed);
    _pages.emplace(1252u, std::move(cp1252));
  }

  const AnsiPage& current() const { return *g_currentPage.load(std::memory_order_acquire); }

  bool select(unsigned int codePage) {
    std::lock_guard<std::mutex> guard(_mutex);
    auto it = _pages.find(codePage);
    if (it == _pages.end()) {
      auto page = makePageWithIconv(codePage);
      if (!page) {
        return false;
      }
      it = _pages.emplace(codePage, std::move(page)).first;
    }
    g_currentPage.store(it->second.get(), std::memory_order_release);
    g_ansiAsciiCompatible.store(it->second->asciiCompatible, std::memory_order_relaxed);
    g_ansiKeepsAscii.store(it->second->keepsAscii, std::memory_order_relaxed);
    return true;
  }

 private:
  std::mutex _mutex;
  std::map<unsigned int, std::unique_ptr<AnsiPage>> _pages;
};

PageRegistry& registry() {
  static PageRegistry instance;
  return instance;
}

const AnsiPage& currentPage() {
  const AnsiPage* page = g_currentPage.load(std::memory_order_acquire);
  return page != nullptr ? *page : registry().current();
}

}  // namespace

// Windows-1252, the page in force before any other is chosen, keeps ASCII.
std::atomic<bool> g_ansiAsciiCompatible{true};
std::atomic<bool> g_ansiKeepsAscii{true};

namespace {

// A double-byte page gives at most one character per byte and takes at most
// two bytes per character: the output is sized once, then trimmed.
void decodeDoubleByte(const AnsiPage& page, const unsigned char* bytes, std::size_t length,
                      std::wstring& out) {
  const std::size_t start = out.size();
  out.resize(start + length);
  out.resize(start + platform::decodeDoubleByte(page.charset, bytes, length, &out[start]));
}

void encodeDoubleByte(const AnsiPage& page, const wchar_t* text, std::size_t length,
                      std::string& out) {
  std::size_t written = out.size();
  out.resize(written + 2 * length);
  std::size_t run = 0;
  for (std::size_t i = 0; i <= length; ++i) {
    if (i == length || page.encodedApart(text[i])) {
      written += platform::encodeDoubleByte(page.charset, text + run, i - run, &out[written]);
      if (i < length) {
        out[written++] = '?';
      }
      run = i + 1;
    }
  }
  out.resize(written);
}

}  // namespace

void decodeAnsi(const unsigned char* bytes, std::size_t length, std::wstring& out) {
  const AnsiPage& page = currentPage();
  if (page.charset != nullptr) {
    decodeDoubleByte(page, bytes, length, out);
    return;
  }
  out.reserve(out.size() + length);
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(page.toUnicode[bytes[i]]);
  }
}

void encodeAnsi(const wchar_t* text, std::size_t length, std::string& out) {
  const AnsiPage& page = currentPage();
  if (page.charset != nullptr) {
    encodeDoubleByte(page, text, length, out);
    return;
  }
  out.reserve(out.size() + length);
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(page.encode(text[i]));
  }
}

std::size_t decodeAnsi(const unsigned char* bytes, std::size_t length, wchar_t* out) {
  const AnsiPage& page = currentPage();
  if (page.charset != nullptr) {
    return platform::decodeDoubleByte(page.charset, bytes, length, out);
  }
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = page.toUnicode[bytes[i]];
  }
  return length;
}

std::string asciiToAnsi(const char* text, std::size_t length) {
  const AnsiPage& page = currentPage();
  if (page.asciiCompatible) {
    return std::string(text, length);
  }
  std::string out(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = page.encode(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
  }
  return out;
}

bool setAnsiCodePage(unsigned int codePage) {
  return registry().select(codePage);
}

unsigned int ansiCodePage() {
  return currentPage().codePage;
}

bool ansiDoubleByte() {
  return currentPage().charset != nullptr;
}

bool decodeCodePage(unsigned int codePage, const unsigned char* bytes, std::size_t length,
                    std::wstring& out) {
  switch (codePage) {
    case 0:
    case 3:  // the thread's ANSI page
      decodeAnsi(bytes, length, out);
      return true;
    case 65000:
      decodeUtf7(bytes, length, out);
      return true;
    case 65001:
      decodeUtf8(bytes, length, out);
      return true;
    default:
      break;
  }
  const char* name = iconvName(codePage);
  if (name == nullptr) {
    return false;
  }
  std::u32string points;
  if (!platform::decodeWithIconv(name, bytes, length, unitSize(codePage), points)) {
    return false;
  }
  appendCodePoints(points, out);
  return true;
}

}  // namespace codec
}  // namespace qel
