#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "qel/core/StringHelper.h"
#include "support/Threads.h"

using qel::CStringHelper;
using qel::CWin32Helper;
using qel_test::onThreads;

namespace {

const std::wstring kR(1, static_cast<wchar_t>(0xFFFD));
const std::string kR8 = "\xEF\xBF\xBD";

std::string bytes(std::initializer_list<unsigned int> values) {
  std::string out;
  for (unsigned int v : values) {
    out.push_back(static_cast<char>(v));
  }
  return out;
}

std::wstring wide(std::initializer_list<std::uint32_t> values) {
  std::wstring out;
  for (std::uint32_t v : values) {
    out.push_back(static_cast<wchar_t>(v));
  }
  return out;
}

std::wstring widen(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

std::wstring decodePage(const std::string& text, unsigned int codePage) {
  return CWin32Helper::fromBytes(reinterpret_cast<const unsigned char*>(text.data()), 0,
                                 static_cast<unsigned int>(text.size()), codePage);
}

std::wstring utf7(const std::string& text) {
  return CStringHelper::fromBytes(reinterpret_cast<const unsigned char*>(text.data()), 0,
                                  static_cast<unsigned int>(text.size()), CStringHelper::UTF7);
}

// A character (or an ill-formed sequence) and what it converts to, whatever
// comes before or after it.
struct Piece {
  std::string bytes;
  std::wstring text;
};

// Well-formed UTF-8 of every length class, both ways.
const Piece kUtf8[] = {{"a", L"a"},
                       {std::string(1, '\0'), std::wstring(1, L'\0')},
                       {"\x7F", L"\u007f"},
                       {"\xC2\x80", L"\u0080"},
                       {"\xC3\xA9", L"\u00e9"},
                       {"\xD0\x96", L"\u0416"},
                       {"\xDF\xBF", L"\u07ff"},
                       {"\xE0\xA0\x80", L"\u0800"},
                       {"\xE2\x82\xAC", L"\u20ac"},
                       {"\xEF\xBB\xBF", L"\ufeff"},
                       {"\xEF\xBF\xBF", L"\uffff"},
                       {"\xF0\x90\x80\x80", L"\U00010000"},
                       {"\xF0\x9F\x98\x80", L"\U0001F600"},
                       {"\xF4\x8F\xBF\xBF", L"\U0010FFFF"}};

// Ill-formed UTF-8: one U+FFFD per maximal subpart.
const Piece kBadUtf8[] = {{bytes({0xFF}), kR},
                          {bytes({0x80}), kR},
                          {bytes({0xC3, 'z'}), kR + L"z"},
                          {bytes({0xE2, 0x82, 'z'}), kR + L"z"},
                          {bytes({0xC0, 0xAF}), kR + kR},
                          {bytes({0xC1, 0xBF}), kR + kR},
                          {bytes({0xE0, 0x80}), kR + kR},
                          {bytes({0xE0, 0x9F, 0xBF}), kR + kR + kR},
                          {bytes({0xED, 0xA0, 0x80}), kR + kR + kR},
                          {bytes({0xF0, 0x8F, 0xBF, 0xBF}), kR + kR + kR + kR},
                          {bytes({0xC3, 0xC3, 0xA9}), kR + L"\u00e9"}};

// Wide characters that UTF-8 cannot hold.
const std::uint32_t kUnencodable[] = {0xD800,   0xDBFF,     0xDC00,     0xDFFF,
                                      0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};

}  // namespace

TEST(Utf8, ConvertsEveryLengthClassAndReplacesWhatItCannot) {
  for (const Piece& p : kUtf8) {
    EXPECT_EQ(p.bytes, CWin32Helper::toUTF8(p.text));
    EXPECT_EQ(p.text, CWin32Helper::fromUTF8(p.bytes));
    EXPECT_EQ(p.bytes, CStringHelper::toUTF8(p.text));
    EXPECT_EQ(p.text, CStringHelper::fromUTF8(p.bytes));
  }
  for (const Piece& p : kBadUtf8) {
    EXPECT_EQ(p.text, CWin32Helper::fromUTF8(p.bytes));
  }
  for (std::uint32_t c : kUnencodable) {
    EXPECT_EQ(kR8 + "a" + kR8, CWin32Helper::toUTF8(wide({c, 'a', c}))) << c;
  }
  // A high and a low surrogate side by side are two code points, not a pair.
  EXPECT_EQ(kR8 + kR8, CWin32Helper::toUTF8(wide({0xD83D, 0xDE00})));
  EXPECT_EQ("", CWin32Helper::toUTF8(L""));
  EXPECT_EQ(L"", CWin32Helper::fromUTF8(""));
  std::wstring all;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x3000 ? 1 : 97)) {
    if (cp < 0xD800 || cp > 0xDFFF) {
      all.push_back(static_cast<wchar_t>(cp));
    }
  }
  EXPECT_EQ(all, CWin32Helper::fromUTF8(CWin32Helper::toUTF8(all)));
}

// The replacement examples of the Unicode standard (chapter 3, U+FFFD
// substitution of maximal subparts), then truncated and stray bytes.
TEST(Utf8, InvalidSequencesGiveOneReplacementPerMaximalSubpart) {
  const Piece cases[] = {
      {bytes({0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64}),
       L"a" + kR + kR + kR + L"b" + kR + L"c" + kR + kR + L"d"},
      {bytes({0xC0, 0xAF, 0xE0, 0x80, 0xBF, 0xF0, 0x81, 0x82, 0x41}),
       std::wstring(8, kR[0]) + L"A"},
      {bytes({0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF, 0xED, 0xAF, 0x41}),
       std::wstring(8, kR[0]) + L"A"},
      {bytes({0xF4, 0x91, 0x92, 0x93, 0xFF, 0x41, 0x80, 0xBF, 0x42}),
       std::wstring(5, kR[0]) + L"A" + kR + kR + L"B"},
      {bytes({0xE1, 0x80, 0xE2, 0xF0, 0x91, 0x92, 0xF1, 0xBF, 0x41}),
       std::wstring(4, kR[0]) + L"A"},
      {"x\xE2\x82", L"x" + kR},
      {"\xF0\x9F\x98", kR},
      {"\xF0", kR},
      {"\xC3", kR},
      {"\xC3\xC3", kR + kR}};
  for (const Piece& c : cases) {
    EXPECT_EQ(c.text, CWin32Helper::fromUTF8(c.bytes)) << c.bytes.size();
  }
  for (unsigned int lead : {0xC0u, 0xC1u, 0xF5u, 0xF8u, 0xFCu, 0xFEu, 0xFFu}) {
    EXPECT_EQ(kR + kR, CWin32Helper::fromUTF8(bytes({lead, 0x80}))) << lead;
  }
  // Every truncation of every multi-byte character decodes to one U+FFFD.
  for (const Piece& p : kUtf8) {
    for (std::size_t cut = 1; cut < p.bytes.size(); ++cut) {
      EXPECT_EQ(kR + L"z", CWin32Helper::fromUTF8(p.bytes.substr(0, cut) + "z")) << cut;
    }
  }
}

// Long texts are converted in blocks of many bytes at a time: every kind of
// character and of ill-formed sequence must come out the same wherever it
// falls relative to a block, at the end of the input as well, and across the
// chunks the output is gathered in.
TEST(Utf8, PiecesConvertTheSameAtEveryOffsetInLongTexts) {
  std::vector<Piece> pieces(std::begin(kUtf8), std::end(kUtf8));
  const std::size_t wellFormed = pieces.size();
  pieces.insert(pieces.end(), std::begin(kBadUtf8), std::end(kBadUtf8));
  const std::string ascii = "The quick brown fox jumps over the lazy dog";
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
      const std::string head = ascii.substr(0, at);
      const std::string tail = ascii.substr(at);
      const std::wstring expected = widen(head) + pieces[k].text;
      EXPECT_EQ(expected + widen(tail), CWin32Helper::fromUTF8(head + pieces[k].bytes + tail))
          << k << " " << at;
      EXPECT_EQ(expected, CWin32Helper::fromUTF8(head + pieces[k].bytes)) << k << " " << at;
      if (k < wellFormed) {
        EXPECT_EQ(head + pieces[k].bytes + tail,
                  CWin32Helper::toUTF8(widen(head) + pieces[k].text + widen(tail)));
      }
    }
  }
  // Fixed mixes of runs of ASCII and pieces, mostly two-byte characters.
  for (std::size_t stride : {1u, 5u, 7u, 11u}) {
    for (bool wellFormedOnly : {true, false}) {
      std::string text;
      std::wstring expected;
      for (std::size_t i = 0; i < 3000 / stride; ++i) {
        const Piece& p = i % 3 == 0
                             ? pieces[4]
                             : pieces[(i * stride) % (wellFormedOnly ? wellFormed : pieces.size())];
        const std::string run = ascii.substr(0, (i * stride) % 37);
        text += run + p.bytes;
        expected += widen(run) + p.text;
      }
      ASSERT_EQ(expected, CWin32Helper::fromUTF8(text)) << stride;
      if (wellFormedOnly) {
        ASSERT_EQ(text, CWin32Helper::toUTF8(expected)) << stride;
      }
    }
  }
  std::wstring unencodable;
  std::string replaced;
  for (std::size_t i = 0; i < 2000; ++i) {
    const std::uint32_t c = kUnencodable[i % 8];
    unencodable += wide({'a', 0xE9, c}) + std::wstring(i % 23, L'b');
    replaced += "a\xC3\xA9" + kR8 + std::string(i % 23, 'b');
  }
  EXPECT_EQ(replaced, CWin32Helper::toUTF8(unencodable));
}

// The examples of RFC 2152, surrogate pairs, then malformed input.
TEST(Utf7, DecodesShiftedAndDirectCharacters) {
  const Piece cases[] = {{"Hi Mom -+Jjo--!", L"Hi Mom -\u263A-!"},
                         {"A+ImIDkQ.", L"A\u2262\u0391."},
                         {"+ZeVnLIqe-", L"\u65E5\u672C\u8A9E"},
                         {"Item 3 is +AKM-1.", L"Item 3 is \u00A31."},
                         {"+-", L"+"},
                         {"a+-b", L"a+b"},
                         {"+2D3eAA-", L"\U0001F600"},
                         {"x+2D3eAA-y", L"x\U0001F600y"},
                         // Lone surrogates: D83D, then DE00.
                         {"+2D0-x", kR + L"x"},
                         {"+2D0-", kR},
                         {"+2D0-+-x", kR + L"+x"},
                         {"+3gA-!", kR + L"!"},
                         {"+", L""},
                         {"abc+", L"abc"},
                         {"+!", L"!"},
                         {"+ZeV", L"\u65E5"},  // left-over bits after the last complete unit go
                         {bytes({0xE9, 'a'}), kR + L"a"},
                         {"+ZeV\xFF", L"\u65E5" + kR}};  // bytes above 127 are no UTF-7
  for (const Piece& c : cases) {
    EXPECT_EQ(c.text, utf7(c.bytes)) << c.bytes;
  }
  EXPECT_EQ(L"\u65E5\u672C\u8A9E", decodePage("+ZeVnLIqe-", 65000));
  // Every byte value after an open shift decodes without fault.
  for (unsigned int b = 0; b < 256; ++b) {
    EXPECT_LE(utf7(bytes({'+', 'A', b, 'A', 'A'})).size(), 4u);
  }
}

// One round trip per family of pages: bytes to text through fromBytes, and
// back where the library writes the page.
TEST(FromBytes, EachFamilyOfPages) {
  const struct {
    unsigned int page;
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {65001, "A\xC3\xA9\xE2\x82\xAC", L"A\u00e9\u20ac"},
      {0, std::string("a\0\x80", 3), std::wstring(L"a\0\u20ac", 3)},  // the ANSI page
      {1252, bytes({0x80, 0x9F, 0xE9}), L"\u20AC\u0178\u00e9"},
      {1251, bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2}), L"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {20866, bytes({0xC1}), L"\u0430"},
      {932, bytes({0x82, 0xA0}), L"\u3042"},
      {65000, "+AKM-", L"\u00A3"},
      {1200, bytes({0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0x42, 0x00}),
       std::wstring(L"A\U0001F600\0B", 4)},
      {1201, bytes({0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00, 0x20, 0xAC}), L"A\U0001F600\u20AC"},
      // Lone UTF-16 surrogates are replaced.
      {1200, bytes({0x00, 0xD8, 0x41, 0x00}), kR + L"A"},
      {1200, bytes({0x41, 0x00, 0x00, 0xDC, 0x42, 0x00}), L"A" + kR + L"B"},
      {1200, bytes({0x41, 0x00, 0x3D, 0xD8}), L"A" + kR},
      {1201, bytes({0xDC, 0x00, 0x00, 0x41}), kR + L"A"},
      // An unknown page gives nothing.
      {12345, "abc", L""},
      {99999, "abc", L""},
      {4294967295u, "abc", L""}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.text, decodePage(c.bytes, c.page)) << c.page;
    if (c.page == 65001) {
      EXPECT_EQ(c.bytes, CWin32Helper::toUTF8(c.text));
    } else if (c.page == 1252) {
      EXPECT_EQ(c.bytes, CWin32Helper::toAnsi(c.text));
    }
  }
  // Broken input of a multi-byte page and an odd trailing UTF-16 byte are
  // replaced, not fatal.
  EXPECT_FALSE(decodePage(bytes({0x82, 0x41, 0xFF, 0x82}), 932).empty());
  const std::wstring odd = decodePage(bytes({0x41, 0x00, 0x42}), 1200);
  EXPECT_EQ(L'A', odd.at(0));
  EXPECT_LE(odd.size(), 2u);
}

TEST(FromBytes, SelectorOffsetAndLength) {
  const std::string text = "skipABCtrailing\xE2\x82\xAC\x80";
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  for (unsigned int page : {65001u, 0u, 1252u, 65000u}) {
    EXPECT_EQ(L"ABC", CWin32Helper::fromBytes(data, 4, 3, page)) << page;
    EXPECT_EQ(L"", CWin32Helper::fromBytes(data, 4, 0, page)) << page;
  }
  EXPECT_EQ(L"", CWin32Helper::fromBytes(nullptr, 0, 5, 1251));
  EXPECT_EQ(L"ABC", CStringHelper::fromBytes(data, 4, 3, CStringHelper::UTF7));
  EXPECT_EQ(L"\u20AC", CStringHelper::fromBytes(data, 18, 1, CStringHelper::ANSI));
  // Any value other than 0 and 1 means UTF-8.
  for (int selector : {2, 7, -1}) {
    EXPECT_EQ(L"\u20AC", CStringHelper::fromBytes(data, 15, 3,
                                                  static_cast<CStringHelper::CodePage>(selector)));
  }
}

namespace {

// Leaves the ANSI page as every other test expects it.
class AnsiPage : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1252u, CWin32Helper::getAnsiCodePage()); }
  void TearDown() override { EXPECT_TRUE(CWin32Helper::setAnsiCodePage(1252)); }
};

}  // namespace

// Windows-1252 by default: every byte round trips, what it cannot hold
// becomes '?'; s2ws and ws2s stop at a NUL, fromANSI keeps it.
TEST_F(AnsiPage, Windows1252IsTheDefault) {
  EXPECT_EQ(L"\u20AC\u0178\u201A\u0152\u2122\u00A0\u00e9\u00ff",
            CWin32Helper::fromANSI("\x80\x9F\x82\x8C\x99\xA0\xE9\xFF"));
  EXPECT_EQ("\x80\x9F\xE9\xFF", CWin32Helper::ws2s(L"\u20AC\u0178\u00e9\u00ff"));
  EXPECT_EQ(L"\u20AC\u0178", CWin32Helper::s2ws("\x80\x9F"));
  std::string all;
  for (int b = 1; b < 256; ++b) {
    all.push_back(static_cast<char>(b));
  }
  const std::wstring text = CWin32Helper::fromANSI(all);
  ASSERT_EQ(255u, text.size());
  EXPECT_EQ(all, CWin32Helper::toAnsi(text));
  EXPECT_EQ(text, CWin32Helper::s2ws(all));
  EXPECT_EQ("a?b", CWin32Helper::ws2s(L"a\u4e2db"));
  EXPECT_EQ("????",
            CWin32Helper::toAnsi(L"\u0100\U0001F600\uFFFD") + CWin32Helper::ws2s(wide({0xD800})));
  EXPECT_EQ("?", CWin32Helper::ws2s(wide({0xFFFFFFFB})));
  const std::wstring withNul(L"a\0\u20AC", 3);
  EXPECT_EQ(withNul, CStringHelper::fromANSI(std::string("a\0\x80", 3)));
  EXPECT_EQ(withNul, CWin32Helper::fromANSI(std::string("a\0\x80", 3)));
  EXPECT_EQ("a", CWin32Helper::toAnsi(withNul));
  EXPECT_EQ(L"a", CWin32Helper::s2ws(std::string("a\0\x80", 3)));
  EXPECT_EQ("a", CWin32Helper::ws2s(withNul));
  EXPECT_EQ("a", CStringHelper::toAnsi(withNul));
  EXPECT_EQ(L"", CWin32Helper::s2ws(std::string(1, '\0')));
  EXPECT_EQ(L"x", CWin32Helper::s2ws(std::string("x\0\xC3\xA9", 4)));
}

TEST_F(AnsiPage, SwitchesBetweenSingleBytePagesOnly) {
  for (unsigned int page : {65001u, 65000u, 1200u, 932u, 12345u}) {
    EXPECT_FALSE(CWin32Helper::setAnsiCodePage(page)) << page;
  }
  EXPECT_EQ(1252u, CWin32Helper::getAnsiCodePage());
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(CWin32Helper::setAnsiCodePage(1251));
    EXPECT_EQ(1251u, CWin32Helper::getAnsiCodePage());
    EXPECT_EQ(L"\u0410\u044F", CWin32Helper::fromANSI("\xC0\xFF"));
    EXPECT_EQ(L"\u0402", CWin32Helper::s2ws("\x80"));
    EXPECT_EQ("\xC6", CWin32Helper::ws2s(L"\u0416"));
    EXPECT_EQ("\x88?", CWin32Helper::toAnsi(L"\u20AC\u00e9"));  // no Latin letters beyond ASCII
    EXPECT_EQ(L"\u041F\u0440", CStringHelper::format("%s", "\xCF\xF0"));
    EXPECT_EQ(L"\u041F", decodePage("\xCF", 0));
    ASSERT_TRUE(CWin32Helper::setAnsiCodePage(1252));
    EXPECT_EQ(1252u, CWin32Helper::getAnsiCodePage());
    EXPECT_EQ(L"\u20AC", CWin32Helper::fromANSI("\x80"));
    EXPECT_EQ("\x80", CWin32Helper::toAnsi(L"\u20AC"));
  }
}

// ASCII is the same in both pages; the high byte is one page's or the
// other's, never anything else.
TEST(CodePageConcurrency, ConversionsWhileThePageSwitches) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  onThreads(3, [&](int t) {
    if (t == 2) {
      for (int i = 0; i < 200; ++i) {
        CWin32Helper::setAnsiCodePage(i % 2 == 0 ? 1251 : 1252);
      }
      stop = true;
    }
    while (!stop.load()) {
      const std::wstring text = CWin32Helper::fromANSI("ok\xC0");
      wrong += (text != L"ok\u00C0" && text != L"ok\u0410") || CWin32Helper::toAnsi(L"ok") != "ok";
    }
  });
  EXPECT_TRUE(CWin32Helper::setAnsiCodePage(1252));
  EXPECT_EQ(0, wrong.load());
}
