#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "qel/core/StringHelper.h"
#include "support/Text.h"
#include "support/Threads.h"

using qel::CStringHelper;
using qel::CWin32Helper;
using qel_test::onThreads;
using qel_test::widen;

namespace {

const std::wstring kR(1, static_cast<wchar_t>(0xFFFD));
const std::string kR8 = "\xEF\xBF\xBD";

// n replacement characters.
std::wstring R(std::size_t n) {
  return std::wstring(n, kR[0]);
}

constexpr auto hex = qel_test::bytesOfHex;

std::wstring wide(std::initializer_list<std::uint32_t> values) {
  std::wstring out;
  for (std::uint32_t v : values) {
    out.push_back(static_cast<wchar_t>(v));
  }
  return out;
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

// Well-formed UTF-8 of every length class, both ways; the first is two bytes.
const Piece kUtf8[] = {{hex("c3a9"), L"\u00e9"},   {hex("f0908080"), L"\U00010000"},
                       {hex("c280"), L"\u0080"},   {hex("f09f9880"), L"\U0001F600"},
                       {hex("d096"), L"\u0416"},   {hex("f48fbfbf"), L"\U0010FFFF"},
                       {hex("dfbf"), L"\u07ff"},   {"a", L"a"},
                       {hex("e0a080"), L"\u0800"}, {hex("00"), std::wstring(1, L'\0')},
                       {hex("e282ac"), L"\u20ac"}, {hex("7f"), L"\u007f"},
                       {hex("efbbbf"), L"\ufeff"}, {hex("efbfbf"), L"\uffff"}};

// Ill-formed UTF-8: one U+FFFD per maximal subpart.
const Piece kBadUtf8[] = {
    {hex("ff"), R(1)},   {hex("e080"), R(2)},    {hex("c37a"), R(1) + L"z"},
    {hex("80"), R(1)},   {hex("e09fbf"), R(3)},  {hex("e2827a"), R(1) + L"z"},
    {hex("c0af"), R(2)}, {hex("eda080"), R(3)},  {hex("c3c3a9"), R(1) + L"\u00e9"},
    {hex("c1bf"), R(2)}, {hex("f08fbfbf"), R(4)}};

// Wide characters that UTF-8 cannot hold.
const std::uint32_t kUnencodable[] = {0xD800,   0xDBFF,     0xDC00,     0xDFFF,
                                      0x110000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};

}  // namespace

TEST(Utf8, ConvertsEveryLengthClassAndReplacesWhatItCannot) {
  // Each piece alone is read in PiecesConvertTheSameAtEveryOffsetInLongTexts,
  // an unencodable one among others there too.
  for (const Piece& p : kUtf8) {
    EXPECT_EQ(p.bytes, CStringHelper::toUTF8(p.text));
    EXPECT_EQ(p.text, CStringHelper::fromUTF8(p.bytes));
  }
  // A high and a low surrogate side by side are two code points, not a pair.
  EXPECT_EQ(kR8 + "a" + kR8 + kR8, CWin32Helper::toUTF8(wide({0x110000, 'a', 0xD83D, 0xDE00})));
  EXPECT_TRUE(CWin32Helper::toUTF8(L"").empty() && CWin32Helper::fromUTF8("").empty());
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
  std::vector<Piece> cases = {
      {hex("61f18080e180c262806380bf64"), L"a" + R(3) + L"b" + R(1) + L"c" + R(2) + L"d"},
      {hex("c0afe080bff0818241"), R(8) + L"A"},
      {hex("eda080edbfbfedaf41"), R(8) + L"A"},
      {hex("f4919293ff4180bf42"), R(5) + L"A" + R(2) + L"B"},
      {hex("e180e2f09192f1bf41"), R(4) + L"A"},
      {"x\xE2\x82", L"x" + R(1)}};
  const Piece shortCases[] = {
      {hex("f09f98"), R(1)}, {hex("f0"), R(1)}, {hex("c3"), R(1)}, {hex("c3c3"), R(2)}};
  cases.insert(cases.end(), std::begin(shortCases), std::end(shortCases));
  for (const Piece& c : cases) {
    EXPECT_EQ(c.text, CWin32Helper::fromUTF8(c.bytes)) << c.bytes.size();
  }
  for (const char* lead : {"c0", "c1", "f5", "f8", "fc", "fe", "ff"}) {
    EXPECT_EQ(R(2), CWin32Helper::fromUTF8(hex(lead) + "\x80")) << lead;
  }
  // Every truncation of every multi-byte character decodes to one U+FFFD.
  for (const Piece& p : kUtf8) {
    for (std::size_t cut = 1; cut < p.bytes.size(); ++cut) {
      EXPECT_EQ(R(1) + L"z", CWin32Helper::fromUTF8(p.bytes.substr(0, cut) + "z")) << cut;
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
        const std::size_t k = (i * stride) % (wellFormedOnly ? wellFormed : pieces.size());
        const Piece& p = pieces[i % 3 == 0 ? 0 : k];
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
    unencodable += wide({'a', 0xE9, kUnencodable[i % 8]}) + std::wstring(i % 23, L'b');
    replaced += "a\xC3\xA9" + kR8 + std::string(i % 23, 'b');
  }
  EXPECT_EQ(replaced, CWin32Helper::toUTF8(unencodable));
}

// Every mix of ASCII and two-byte characters in a run of eight, at every
// alignment of the sixteen bytes that one vector step reads.
TEST(Utf8, EveryMixOfOneAndTwoByteCharactersConvertsAtEveryAlignment) {
  for (unsigned int pattern = 0; pattern < 256; ++pattern) {
    std::wstring text;
    std::string bytes;
    for (unsigned int j = 0; j < 8; ++j) {
      const auto c = static_cast<wchar_t>((pattern >> j) & 1 ? 'a' + j : 0x80 + 0x95 * j);
      text += c;
      bytes += c < 0x80 ? std::string(1, static_cast<char>(c))
                        : std::string{static_cast<char>(0xC0 | (c >> 6)),
                                      static_cast<char>(0x80 | (c & 0x3F))};
    }
    for (std::size_t offset = 0; offset < 16; ++offset) {
      const std::wstring wide = std::wstring(offset, L'x') + text + text + text;
      const std::string utf8 = std::string(offset, 'x') + bytes + bytes + bytes;
      ASSERT_EQ(utf8, CWin32Helper::toUTF8(wide)) << pattern << " " << offset;
      ASSERT_EQ(wide, CWin32Helper::fromUTF8(utf8)) << pattern << " " << offset;
    }
  }
}

// The examples of RFC 2152, surrogate pairs, then malformed input; lone
// surrogates are D83D, then DE00, left-over bits after the last complete unit
// go and bytes above 127 are no UTF-7.
TEST(Utf7, DecodesShiftedAndDirectCharacters) {
  std::vector<Piece> cases = {{"Hi Mom -+Jjo--!", L"Hi Mom -\u263A-!"},
                              {"Item 3 is +AKM-1.", L"Item 3 is \u00A31."},
                              {"A+ImIDkQ.", L"A\u2262\u0391."},
                              {"+ZeVnLIqe-", L"\u65E5\u672C\u8A9E"},
                              {"+2D3eAA-", L"\U0001F600"},
                              {"x+2D3eAA-y", L"x\U0001F600y"},
                              {"+2D0-x", R(1) + L"x"},
                              {"+2D0-+-x", R(1) + L"+x"},
                              {"+3gA-!", R(1) + L"!"},
                              {hex("e961"), R(1) + L"a"},
                              {"+ZeV\xFF", L"\u65E5" + R(1)}};
  const Piece shortCases[] = {{"+-", L"+"}, {"a+-b", L"a+b"}, {"+", L""},         {"abc+", L"abc"},
                              {"+!", L"!"}, {"+2D0-", R(1)},  {"+ZeV", L"\u65E5"}};
  cases.insert(cases.end(), std::begin(shortCases), std::end(shortCases));
  for (const Piece& c : cases) {
    EXPECT_EQ(c.text, utf7(c.bytes)) << c.bytes;
  }
  EXPECT_EQ(L"\u65E5\u672C\u8A9E", decodePage("+ZeVnLIqe-", 65000));
  // Every byte value after an open shift decodes without fault.
  for (unsigned int b = 0; b < 256; ++b) {
    EXPECT_LE(utf7(std::string("+A") + static_cast<char>(b) + "AA").size(), 4u);
  }
}

// One round trip per family of pages: bytes to text through fromBytes, and
// back where the library writes the page.  Lone UTF-16 surrogates are
// replaced; an unknown page gives nothing.
TEST(FromBytes, EachFamilyOfPages) {
  const std::tuple<unsigned int, std::string, std::wstring> cases[] = {
      {65001, hex("41c3a9e282ac"), L"A\u00e9\u20ac"},
      {0, hex("610080"), std::wstring(L"a\0\u20ac", 3)},  // the ANSI page
      {1252, hex("809fe9"), L"\u20AC\u0178\u00e9"},
      {1251, hex("cff0e8e2e5f2"), L"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {20866, hex("c1"), L"\u0430"},
      {932, hex("82a0"), L"\u3042"},
      {65000, "+AKM-", L"\u00A3"},
      {1200, hex("41003dd800de00004200"), std::wstring(L"A\U0001F600\0B", 4)},
      {1201, hex("0041d83dde0020ac"), L"A\U0001F600\u20AC"},
      {1200, hex("00d84100"), R(1) + L"A"},
      {1200, hex("410000dc4200"), L"A" + R(1) + L"B"},
      {1200, hex("41003dd8"), L"A" + R(1)},
      {1201, hex("dc000041"), R(1) + L"A"},
      {12345, "abc", L""},
      {99999, "abc", L""},
      {4294967295u, "abc", L""}};
  for (const auto& [page, bytes, text] : cases) {
    EXPECT_EQ(text, decodePage(bytes, page)) << page;
    if (page == 65001) {
      EXPECT_EQ(bytes, CWin32Helper::toUTF8(text));
    } else if (page == 1252) {
      EXPECT_EQ(bytes, CWin32Helper::toAnsi(text));
    }
  }
  // Broken input of a multi-byte page and an odd trailing UTF-16 byte are
  // replaced, not fatal.
  EXPECT_FALSE(decodePage(hex("8241ff82"), 932).empty());
  const std::wstring odd = decodePage(hex("410042"), 1200);
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
  EXPECT_EQ(withNul, CStringHelper::fromANSI(hex("610080")));
  EXPECT_EQ(withNul, CWin32Helper::fromANSI(hex("610080")));
  EXPECT_EQ((std::vector<std::string>{"a", "a", "a"}),
            (std::vector<std::string>{CWin32Helper::toAnsi(withNul), CWin32Helper::ws2s(withNul),
                                      CStringHelper::toAnsi(withNul)}));
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"", L"x"}),
            (std::vector<std::wstring>{CWin32Helper::s2ws(hex("610080")),
                                       CWin32Helper::s2ws(std::string(1, '\0')),
                                       CWin32Helper::s2ws(std::string("x\0\xC3\xA9", 4))}));
}

TEST_F(AnsiPage, SwitchesBetweenSingleBytePages) {
  for (unsigned int page : {65001u, 65000u, 1200u, 54936u, 51932u, 12345u}) {
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

// Text of each double-byte page among ASCII (one character's second byte
// is an ASCII one), alone, in a long text and before a NUL.
TEST_F(AnsiPage, DoubleBytePagesRoundTripTheirCharactersAndReplaceTheRest) {
  const std::tuple<unsigned int, std::string, std::wstring> cases[] = {
      {932, hex("93fa967b82a0b1955c"), L"\u65E5\u672C\u3042\uFF71\u8868"},
      {936, hex("d6d0cec481405c"), L"\u4E2D\u6587\u4E02\\"},
      {949, hex("c7d1b1b98141"), L"\uD55C\uAD6D\uAC02"},
      {950, hex("a4a4a4e5a55c"), L"\u4E2D\u6587\u529F"}};
  for (const auto& [page, bytes, text] : cases) {
    ASSERT_TRUE(CWin32Helper::setAnsiCodePage(page)) << page;
    EXPECT_EQ(page, CWin32Helper::getAnsiCodePage());
    const std::string mixed = "a" + bytes + "\\b~" + bytes;
    const std::wstring wideMixed = L"a" + text + L"\\b~" + text;
    EXPECT_EQ(wideMixed, CWin32Helper::fromANSI(mixed)) << page;
    EXPECT_EQ(mixed, CWin32Helper::toAnsi(wideMixed)) << page;
    EXPECT_EQ(wideMixed, CWin32Helper::s2ws(mixed + '\0' + bytes)) << page;
    EXPECT_EQ(mixed, CWin32Helper::ws2s(wideMixed + L'\0' + text)) << page;
    EXPECT_EQ(text, decodePage(bytes, 0)) << page;
    std::string longBytes;
    std::wstring longText;
    for (std::size_t i = 0; i < 1000; ++i) {
      longBytes += bytes + std::string(i % 3, 'x');
      longText += text + std::wstring(i % 3, L'x');
    }
    EXPECT_EQ(longText, CWin32Helper::fromANSI(longBytes)) << page;
    EXPECT_EQ(longBytes, CWin32Helper::toAnsi(longText)) << page;
    // A lead byte at the end, one before a byte that ends no character (kept
    // when it is ASCII), characters the page lacks.
    const std::string lead = bytes.substr(0, 1);
    EXPECT_EQ(text + R(1), CWin32Helper::fromANSI(bytes + lead)) << page;
    EXPECT_EQ(R(1) + L" x" + R(2) + text,
              CWin32Helper::fromANSI(lead + " x" + lead + hex("ff") + bytes))
        << page;
    EXPECT_EQ("a?" + bytes + "?????b",
              CWin32Helper::toAnsi(L"a\u05D0" + text +
                                   wide({0x1F600, 0xFFFD, 0xD800, 0x110000, 0xE0065}) + L"b"))
        << page;
  }
  // 81 7C in 932 is U+FF0D, never U+2212; U+30A2 and U+30C2 are 83 41 and
  // 83 61: only letters fold.
  ASSERT_TRUE(CWin32Helper::setAnsiCodePage(932));
  EXPECT_EQ("?\x81\x7C?", CWin32Helper::toAnsi(L"\u2212\uFF0D\u00A5"));
  EXPECT_GT(0, CStringHelper::compareNoCase(L"\u30A2", L"\u30C2"));
  EXPECT_EQ(0, CStringHelper::compareNoCase(L"\u30A2bC", L"\u30A2Bc"));
  EXPECT_LT(0, CStringHelper::compareNoCase(L"\u30A2A", L"\u30A2_"));
  // The single-byte page is back as it was.
  ASSERT_TRUE(CWin32Helper::setAnsiCodePage(1252));
  EXPECT_EQ(L"\u201C\u00FA\u2013{", CWin32Helper::fromANSI(hex("93fa967b")));
  EXPECT_EQ("?\x93", CWin32Helper::toAnsi(L"\u65E5\u201C"));
}

// ASCII is the same in every page; the high byte is one page's or another's,
// never anything else.
TEST(CodePageConcurrency, ConversionsWhileThePageSwitches) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  onThreads(3, [&](int t) {
    if (t == 2) {
      for (int i = 0; i < 300; ++i) {
        CWin32Helper::setAnsiCodePage(i % 3 == 0 ? 1251 : i % 3 == 1 ? 932 : 1252);
      }
      stop = true;
    }
    while (!stop.load()) {
      const std::wstring text = CWin32Helper::fromANSI("ok\xC0");
      wrong += (text != L"ok\u00C0" && text != L"ok\u0410" && text != L"ok\uFF80") ||
               CWin32Helper::toAnsi(L"ok") != "ok";
    }
  });
  EXPECT_TRUE(CWin32Helper::setAnsiCodePage(1252));
  EXPECT_EQ(0, wrong.load());
}

// Threads converting in a double-byte page at once, bad bytes among the text.
TEST(CodePageConcurrency, DoubleBytePageOnManyThreads) {
  ASSERT_TRUE(CWin32Helper::setAnsiCodePage(932));
  std::string bytes;
  std::wstring text;
  for (int i = 0; i < 200; ++i) {
    bytes += hex("93fa967b") + std::string(i % 4, 'x') + hex("81") + " ";
    text += L"\u65E5\u672C" + std::wstring(i % 4, L'x') + R(1) + L" ";
  }
  const std::string clean = CWin32Helper::toAnsi(text);
  std::atomic<int> wrong{0};
  onThreads(4, [&](int) {
    for (int i = 0; i < 200; ++i) {
      wrong += CWin32Helper::fromANSI(bytes) != text || CWin32Helper::toAnsi(text) != clean;
    }
  });
  EXPECT_TRUE(CWin32Helper::setAnsiCodePage(1252));
  EXPECT_EQ(0, wrong.load());
}
