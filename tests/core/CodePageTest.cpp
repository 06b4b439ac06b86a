#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/StringHelper.h"

using qel::CStringHelper;
using qel::CWin32Helper;

namespace {

constexpr wchar_t kFffd = 0xFFFD;

std::string bytes(std::initializer_list<unsigned int> values) {
  std::string out;
  for (unsigned int v : values) {
    out.push_back(static_cast<char>(v));
  }
  return out;
}

std::wstring utf7(const std::string& text) {
  return CStringHelper::fromBytes(reinterpret_cast<const unsigned char*>(text.data()), 0,
                                  static_cast<unsigned int>(text.size()), CStringHelper::UTF7);
}

std::wstring decodePage(const std::string& text, unsigned int codePage) {
  return CWin32Helper::fromBytes(reinterpret_cast<const unsigned char*>(text.data()), 0,
                                 static_cast<unsigned int>(text.size()), codePage);
}

// Leaves the ANSI page as every other test expects it.
class AnsiPage : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1252u, CWin32Helper::getAnsiCodePage()); }
  void TearDown() override { EXPECT_TRUE(CWin32Helper::setAnsiCodePage(1252)); }
};

}  // namespace

TEST(Utf8, EncodesEveryLengthClass) {
  EXPECT_EQ("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
            CWin32Helper::toUTF8(L"A\u00e9\u20ac\U0001F600"));
  EXPECT_EQ("\x7F", CWin32Helper::toUTF8(L"\u007F"));
  EXPECT_EQ("\xC2\x80", CWin32Helper::toUTF8(L"\u0080"));
  EXPECT_EQ("\xDF\xBF", CWin32Helper::toUTF8(L"\u07FF"));
  EXPECT_EQ("\xE0\xA0\x80", CWin32Helper::toUTF8(L"\u0800"));
  EXPECT_EQ("\xEF\xBF\xBF", CWin32Helper::toUTF8(L"\uFFFF"));
  EXPECT_EQ("\xF0\x90\x80\x80", CWin32Helper::toUTF8(L"\U00010000"));
  EXPECT_EQ("\xF4\x8F\xBF\xBF", CWin32Helper::toUTF8(L"\U0010FFFF"));
  EXPECT_EQ("", CWin32Helper::toUTF8(L""));
  EXPECT_EQ(CWin32Helper::toUTF8(L"\u00e9x"), CStringHelper::toUTF8(L"\u00e9x"));
}

TEST(Utf8, UnencodableCodePointsBecomeReplacementCharacter) {
  const std::string replacement = "\xEF\xBF\xBD";
  std::wstring surrogates{static_cast<wchar_t>(0xD800), L'a', static_cast<wchar_t>(0xDFFF)};
  EXPECT_EQ(replacement + "a" + replacement, CWin32Helper::toUTF8(surrogates));
  // A high and a low surrogate side by side are two code points, not a pair.
  std::wstring pair{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  EXPECT_EQ(replacement + replacement, CWin32Helper::toUTF8(pair));
  std::wstring beyond{static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1)};
  EXPECT_EQ(replacement + replacement, CWin32Helper::toUTF8(beyond));
}

TEST(Utf8, DecodesWellFormedText) {
  EXPECT_EQ(L"A\u00e9\u20ac\U0001F600",
            CWin32Helper::fromUTF8("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  EXPECT_EQ(L"\U0010FFFF\uFFFF\u0800\u07FF\u0080",
            CWin32Helper::fromUTF8("\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xE0\xA0\x80\xDF\xBF\xC2\x80"));
  EXPECT_EQ(L"", CWin32Helper::fromUTF8(""));
  EXPECT_EQ(L"\ufeffbom", CWin32Helper::fromUTF8("\xEF\xBB\xBF"
                                                 "bom"));
  EXPECT_EQ(CWin32Helper::fromUTF8("\xC3\xA9"), CStringHelper::fromUTF8("\xC3\xA9"));
}

TEST(Utf8, RoundTripsEveryScalarValueSample) {
  std::wstring all;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x3000 ? 1 : 97)) {
    if (cp < 0xD800 || cp > 0xDFFF) {
      all.push_back(static_cast<wchar_t>(cp));
    }
  }
  EXPECT_EQ(all, CWin32Helper::fromUTF8(CWin32Helper::toUTF8(all)));
}

TEST(Utf8, KeepsEmbeddedNul) {
  const std::wstring wide(L"a\0b", 3);
  const std::string narrow("a\0b", 3);
  EXPECT_EQ(narrow, CWin32Helper::toUTF8(wide));
  EXPECT_EQ(wide, CWin32Helper::fromUTF8(narrow));
  EXPECT_EQ(std::string(1, '\0'), CWin32Helper::toUTF8(std::wstring(1, L'\0')));
}

// The replacement examples of the Unicode standard (chapter 3, U+FFFD
// substitution of maximal subparts).
TEST(Utf8, InvalidSequencesGiveOneReplacementPerMaximalSubpart) {
  const std::wstring r(1, kFffd);
  EXPECT_EQ(L"a" + r + r + r + L"b" + r + L"c" + r + r + L"d",
            CWin32Helper::fromUTF8(bytes(
                {0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62, 0x80, 0x63, 0x80, 0xBF, 0x64})));
  EXPECT_EQ(std::wstring(8, kFffd) + L"A",
            CWin32Helper::fromUTF8(bytes({0xC0, 0xAF, 0xE0, 0x80, 0xBF, 0xF0, 0x81, 0x82, 0x41})));
  EXPECT_EQ(std::wstring(8, kFffd) + L"A",
            CWin32Helper::fromUTF8(bytes({0xED, 0xA0, 0x80, 0xED, 0xBF, 0xBF, 0xED, 0xAF, 0x41})));
  EXPECT_EQ(std::wstring(5, kFffd) + L"A" + r + r + L"B",
            CWin32Helper::fromUTF8(bytes({0xF4, 0x91, 0x92, 0x93, 0xFF, 0x41, 0x80, 0xBF, 0x42})));
  EXPECT_EQ(std::wstring(4, kFffd) + L"A",
            CWin32Helper::fromUTF8(bytes({0xE1, 0x80, 0xE2, 0xF0, 0x91, 0x92, 0xF1, 0xBF, 0x41})));
}

TEST(Utf8, TruncatedAndStrayBytesAreReplacedWithoutOverrun) {
  const std::wstring r(1, kFffd);
  EXPECT_EQ(L"x" + r, CWin32Helper::fromUTF8("x\xE2\x82"));
  EXPECT_EQ(r, CWin32Helper::fromUTF8("\xF0\x9F\x98"));
  EXPECT_EQ(r, CWin32Helper::fromUTF8("\xF0"));
  EXPECT_EQ(r, CWin32Helper::fromUTF8("\xC3"));
  EXPECT_EQ(r + r, CWin32Helper::fromUTF8("\xC3\xC3"));
  EXPECT_EQ(r + L"\u00e9", CWin32Helper::fromUTF8("\xC3\xC3\xA9"));
  for (unsigned int lead : {0xC0u, 0xC1u, 0xF5u, 0xF8u, 0xFCu, 0xFEu, 0xFFu}) {
    EXPECT_EQ(r + r, CWin32Helper::fromUTF8(bytes({lead, 0x80}))) << lead;
  }
  // Overlong forms and code points above U+10FFFF.
  EXPECT_EQ(r + r + r, CWin32Helper::fromUTF8(bytes({0xE0, 0x9F, 0xBF})));
  EXPECT_EQ(std::wstring(4, kFffd), CWin32Helper::fromUTF8(bytes({0xF0, 0x8F, 0xBF, 0xBF})));
  // Every truncation of every multi-byte character decodes to one U+FFFD.
  const std::string full = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::size_t starts[] = {0, 2, 5};
  const std::size_t lengths[] = {2, 3, 4};
  for (int c = 0; c < 3; ++c) {
    for (std::size_t cut = 1; cut < lengths[c]; ++cut) {
      EXPECT_EQ(r + L"z", CWin32Helper::fromUTF8(full.substr(starts[c], cut) + "z"));
    }
  }
}

TEST(Utf8, EveryTwoByteInputDecodesSafely) {
  for (unsigned int a = 0; a < 256; ++a) {
    for (unsigned int b = 0; b < 256; ++b) {
      const std::wstring decoded = CWin32Helper::fromUTF8(bytes({a, b}));
      ASSERT_GE(decoded.size(), 1u);
      ASSERT_LE(decoded.size(), 2u);
      for (wchar_t c : decoded) {
        ASSERT_TRUE((c >= 0 && c < 0x800) || c == kFffd);
      }
    }
  }
}

// Long ASCII runs are converted in blocks; a character that is not ASCII
// must come out the same wherever it falls relative to a block, also when
// it is cut short by the end of the input.
TEST(Utf8, DecodesTheSameAtEveryOffsetInAsciiText) {
  const std::string ascii = "The quick brown fox jumps over";
  struct Case {
    std::string bytes;
    std::wstring wide;
  };
  const std::wstring r(1, kFffd);
  const Case cases[] = {
      {"\xC3\xA9", L"\u00e9"},
      {"\xD0\x9F", L"\u041f"},
      {"\xE2\x82\xAC", L"\u20ac"},
      {"\xF0\x9F\x98\x80", L"\U0001F600"},
      {bytes({0x80}), r},
      {bytes({0xFF}), r},
      {bytes({0xC0, 0xAF}), r + r},
      {bytes({0xE0, 0x80}), r + r},
      {bytes({0xED, 0xA0, 0x80}), r + r + r},
      {bytes({0xC3, 0xC3, 0xA9}), r + L"\u00e9"},
      {bytes({0xE2, 0x82}), r},
  };
  for (const Case& c : cases) {
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
      const std::string head = ascii.substr(0, at);
      const std::string tail = ascii.substr(at);
      const std::wstring wideHead(head.begin(), head.end());
      const std::wstring wideTail(tail.begin(), tail.end());
      EXPECT_EQ(wideHead + c.wide + wideTail, CWin32Helper::fromUTF8(head + c.bytes + tail))
          << "at " << at;
      // The same sequence as the last bytes of the input.
      EXPECT_EQ(wideHead + c.wide, CWin32Helper::fromUTF8(head + c.bytes)) << "at " << at;
    }
  }
}

TEST(Utf8, EncodesTheSameAtEveryOffsetInAsciiText) {
  const std::wstring ascii = L"jumps over the lazy dog";
  const std::string replacement = "\xEF\xBF\xBD";
  struct Case {
    wchar_t character;
    std::string bytes;
  };
  const Case cases[] = {
      {L'\u00e9', "\xC3\xA9"},
      {L'\u07ff', "\xDF\xBF"},
      {L'\u20ac', "\xE2\x82\xAC"},
      {static_cast<wchar_t>(0x1F600), "\xF0\x9F\x98\x80"},
      {static_cast<wchar_t>(0xDC00), replacement},
      {static_cast<wchar_t>(0x110000), replacement},
      {static_cast<wchar_t>(-1), replacement},
  };
  for (const Case& c : cases) {
    for (std::size_t at = 0; at <= ascii.size(); ++at) {
      const std::wstring head = ascii.substr(0, at);
      const std::wstring tail = ascii.substr(at);
      const std::string narrowHead(head.begin(), head.end());
      const std::string narrowTail(tail.begin(), tail.end());
      EXPECT_EQ(narrowHead + c.bytes + narrowTail,
                CWin32Helper::toUTF8(head + std::wstring(1, c.character) + tail))
          << "at " << at;
    }
  }
}

// Long texts are converted in blocks of many bytes at a time; every kind of
// character (and of ill-formed sequence) must come out the same wherever it
// falls in a block, across block ends and across the chunks the output is
// gathered in.  Each piece below decodes to its characters whatever comes
// before or after it, so a text made of them decodes to their concatenation.
TEST(Utf8, LongMixedTextsConvertPieceByPiece) {
  const std::wstring r(1, kFffd);
  struct Piece {
    std::string bytes;
    std::wstring wide;
    bool wellFormed;
  };
  const Piece pieces[] = {
      {"a", L"a", true},
      {"Z", L"Z", true},
      {" ", L" ", true},
      {std::string(1, '\0'), std::wstring(1, L'\0'), true},
      {"\x7F", L"\u007f", true},
      {"\xC2\x80", L"\u0080", true},
      {"\xC3\xA9", L"\u00e9", true},
      {"\xD0\x96", L"\u0416", true},
      {"\xDF\xBF", L"\u07ff", true},
      {"\xE0\xA0\x80", L"\u0800", true},
      {"\xE2\x82\xAC", L"\u20ac", true},
      {"\xF0\x9F\x98\x80", L"\U0001F600", true},
      {bytes({0xFF}), r, false},
      {bytes({0x80}), r, false},
      {bytes({0xC3, 'z'}), r + L"z", false},
      {bytes({0xE2, 0x82, 'z'}), r + L"z", false},
      {bytes({0xC0, 0xAF}), r + r, false},
      {bytes({0xC1, 0xBF}), r + r, false},
      {bytes({0xED, 0xA0, 0x80}), r + r + r, false},
  };
  // Mostly ASCII and two-byte characters, as in European text.
  const unsigned weights[] = {30, 10, 8, 1, 1, 3, 6, 6, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1};
  std::vector<std::size_t> choices;
  for (std::size_t p = 0; p < sizeof(weights) / sizeof(weights[0]); ++p) {
    choices.insert(choices.end(), weights[p], p);
  }
  std::mt19937 random(2152);
  for (int round = 0; round < 300; ++round) {
    const bool wellFormedOnly = round % 2 == 0;
    const std::size_t count = random() % (round < 150 ? 64 : 3000);
    std::string text;
    std::wstring wide;
    for (std::size_t k = 0; k < count; ++k) {
      const Piece& piece = pieces[choices[random() % choices.size()]];
      if (wellFormedOnly && !piece.wellFormed) {
        continue;
      }
      text += piece.bytes;
      wide += piece.wide;
    }
    ASSERT_EQ(wide, CWin32Helper::fromUTF8(text)) << "round " << round;
    if (wellFormedOnly) {
      ASSERT_EQ(text, CWin32Helper::toUTF8(wide)) << "round " << round;
    }
  }
}

TEST(Utf8, LongWideTextsEncodeCharacterByCharacter) {
  const std::string replacement = "\xEF\xBF\xBD";
  struct Piece {
    wchar_t character;
    std::string bytes;
  };
  const Piece pieces[] = {
      {L'a', "a"},
      {L'\0', std::string(1, '\0')},
      {L'\u007f', "\x7F"},
      {L'\u0080', "\xC2\x80"},
      {L'\u00e9', "\xC3\xA9"},
      {L'\u07ff', "\xDF\xBF"},
      {L'\u0800', "\xE0\xA0\x80"},
      {L'\u20ac', "\xE2\x82\xAC"},
      {static_cast<wchar_t>(0xD800), replacement},
      {static_cast<wchar_t>(0xFFFF), "\xEF\xBF\xBF"},
      {static_cast<wchar_t>(0x10000), "\xF0\x90\x80\x80"},
      {static_cast<wchar_t>(0x10FFFF), "\xF4\x8F\xBF\xBF"},
      {static_cast<wchar_t>(0x110000), replacement},
      {static_cast<wchar_t>(0x7FFFFFFF), replacement},
      {static_cast<wchar_t>(-0x7FFFFFFF - 1), replacement},
      {static_cast<wchar_t>(-1), replacement},
  };
  const unsigned weights[] = {40, 1, 2, 3, 12, 3, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1};
  std::vector<std::size_t> choices;
  for (std::size_t p = 0; p < sizeof(weights) / sizeof(weights[0]); ++p) {
    choices.insert(choices.end(), weights[p], p);
  }
  std::mt19937 random(65001);
  for (int round = 0; round < 200; ++round) {
    const std::size_t count = random() % (round < 100 ? 64 : 5000);
    std::wstring wide;
    std::string expected;
    for (std::size_t k = 0; k < count; ++k) {
      const Piece& piece = pieces[choices[random() % choices.size()]];
      wide.push_back(piece.character);
      expected += piece.bytes;
    }
    ASSERT_EQ(expected, CWin32Helper::toUTF8(wide)) << "round " << round;
  }
}

// The examples of RFC 2152.
TEST(Utf7, DecodesTheRfcExamples) {
  EXPECT_EQ(L"Hi Mom -\u263A-!", utf7("Hi Mom -+Jjo--!"));
  EXPECT_EQ(L"A\u2262\u0391.", utf7("A+ImIDkQ."));
  EXPECT_EQ(L"\u65E5\u672C\u8A9E", utf7("+ZeVnLIqe-"));
  EXPECT_EQ(L"Item 3 is \u00A31.", utf7("Item 3 is +AKM-1."));
  EXPECT_EQ(L"+", utf7("+-"));
  EXPECT_EQ(L"a+b", utf7("a+-b"));
  EXPECT_EQ(L"\u65E5\u672C\u8A9E", decodePage("+ZeVnLIqe-", 65000));
}

TEST(Utf7, SurrogatePairBecomesOneCodePoint) {
  EXPECT_EQ(L"\U0001F600", utf7("+2D3eAA-"));
  EXPECT_EQ(L"x\U0001F600y", utf7("x+2D3eAA-y"));
}

TEST(Utf7, LoneSurrogateBecomesReplacementCharacter) {
  const std::wstring r(1, kFffd);
  // D83D alone, then a direct character.
  EXPECT_EQ(r + L"x", utf7("+2D0-x"));
  EXPECT_EQ(r, utf7("+2D0-"));
  // The replacement keeps its place before a following plus sign.
  EXPECT_EQ(r + L"+x", utf7("+2D0-+-x"));
  // A low surrogate alone (DE00).
  EXPECT_EQ(r + L"!", utf7("+3gA-!"));
}

TEST(Utf7, MalformedInputIsReplacedOrDropped) {
  EXPECT_EQ(L"", utf7("+"));
  EXPECT_EQ(L"abc", utf7("abc+"));
  EXPECT_EQ(L"!", utf7("+!"));
  // Left-over bits after the last complete unit are dropped.
  EXPECT_EQ(L"\u65E5", utf7("+ZeV"));
  // Bytes above 127 are not UTF-7.
  EXPECT_EQ(std::wstring(1, kFffd) + L"a", utf7("\xE9"
                                                "a"));
  EXPECT_EQ(L"\u65E5" + std::wstring(1, kFffd), utf7("+ZeV\xFF"));
  // Every byte value after an open shift decodes without fault.
  for (unsigned int b = 0; b < 256; ++b) {
    const std::wstring decoded = utf7(bytes({'+', 'A', b, 'A', 'A'}));
    EXPECT_LE(decoded.size(), 4u);
  }
}

TEST(FromBytes, CodePageSelectorOfCStringHelper) {
  const std::string euro = "\x80";
  const auto* data = reinterpret_cast<const unsigned char*>(euro.data());
  EXPECT_EQ(L"\u20AC", CStringHelper::fromBytes(data, 0, 1, CStringHelper::ANSI));
  const std::string utf8 = "\xE2\x82\xAC";
  const auto* utf8Data = reinterpret_cast<const unsigned char*>(utf8.data());
  EXPECT_EQ(L"\u20AC", CStringHelper::fromBytes(utf8Data, 0, 3, CStringHelper::UTF8));
  // Any value other than 0 and 1 means UTF-8.
  EXPECT_EQ(L"\u20AC",
            CStringHelper::fromBytes(utf8Data, 0, 3, static_cast<CStringHelper::CodePage>(7)));
  EXPECT_EQ(L"\u20AC",
            CStringHelper::fromBytes(utf8Data, 0, 3, static_cast<CStringHelper::CodePage>(-1)));
  const std::string plus = "+-";
  EXPECT_EQ(L"+", CStringHelper::fromBytes(reinterpret_cast<const unsigned char*>(plus.data()), 0,
                                           2, CStringHelper::UTF7));
}

TEST(FromBytes, OffsetSkipsLeadingBytesAndLengthBoundsTheInput) {
  const std::string text = "skipABCtrailing";
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  EXPECT_EQ(L"ABC", CWin32Helper::fromBytes(data, 4, 3, 65001));
  EXPECT_EQ(L"ABC", CWin32Helper::fromBytes(data, 4, 3, 0));
  EXPECT_EQ(L"ABC", CStringHelper::fromBytes(data, 4, 3, CStringHelper::UTF7));
  EXPECT_EQ(L"A", CWin32Helper::fromBytes(data, 4, 1, 1252));
  EXPECT_EQ(L"", CWin32Helper::fromBytes(data, 4, 0, 65001));
  EXPECT_EQ(L"", CWin32Helper::fromBytes(nullptr, 0, 0, 65001));
  EXPECT_EQ(L"", CWin32Helper::fromBytes(nullptr, 0, 5, 1251));
}

TEST(FromBytes, KeepsEmbeddedNul) {
  EXPECT_EQ(std::wstring(L"a\0b", 3), decodePage(std::string("a\0b", 3), 65001));
  EXPECT_EQ(std::wstring(L"a\0b", 3), decodePage(std::string("a\0b", 3), 0));
  EXPECT_EQ(std::wstring(L"a\0b", 3), decodePage(bytes({'a', 0, 0, 0, 'b', 0}), 1200));
}

TEST(FromBytes, Utf16ThroughTheCLibrary) {
  // Little endian: A, U+1F600 as a surrogate pair, B.
  EXPECT_EQ(L"A\U0001F600B",
            decodePage(bytes({0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x42, 0x00}), 1200));
  EXPECT_EQ(L"A\U0001F600", decodePage(bytes({0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00}), 1201));
  EXPECT_EQ(L"\u20AC", decodePage(bytes({0xAC, 0x20}), 1200));
  EXPECT_EQ(L"\u20AC", decodePage(bytes({0x20, 0xAC}), 1201));
}

TEST(FromBytes, Utf16LoneSurrogatesBecomeReplacementCharacter) {
  const std::wstring r(1, kFffd);
  EXPECT_EQ(r + L"A", decodePage(bytes({0x00, 0xD8, 0x41, 0x00}), 1200));
  EXPECT_EQ(L"A" + r + L"B", decodePage(bytes({0x41, 0x00, 0x00, 0xDC, 0x42, 0x00}), 1200));
  EXPECT_EQ(L"A" + r, decodePage(bytes({0x41, 0x00, 0x3D, 0xD8}), 1200));
  EXPECT_EQ(r + L"A", decodePage(bytes({0xDC, 0x00, 0x00, 0x41}), 1201));
  // An odd trailing byte yields no code unit of its own beyond a replacement.
  const std::wstring odd = decodePage(bytes({0x41, 0x00, 0x42}), 1200);
  ASSERT_FALSE(odd.empty());
  EXPECT_EQ(L'A', odd[0]);
  EXPECT_LE(odd.size(), 2u);
}

TEST(FromBytes, SingleAndMultiByteWindowsPages) {
  EXPECT_EQ(L"\u041F\u0440\u0438\u0432\u0435\u0442",
            decodePage(bytes({0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2}), 1251));
  EXPECT_EQ(L"\u20AC\u0178", decodePage(bytes({0x80, 0x9F}), 1252));
  EXPECT_EQ(L"\u0430", decodePage(bytes({0xC1}), 20866));
  EXPECT_EQ(L"\u3042", decodePage(bytes({0x82, 0xA0}), 932));
  // Bytes a multi-byte page does not define are replaced, not fatal.
  const std::wstring broken = decodePage(bytes({0x82, 0x41, 0xFF, 0x82}), 932);
  EXPECT_FALSE(broken.empty());
}

TEST(FromBytes, UnknownCodePageGivesEmptyString) {
  EXPECT_EQ(L"", decodePage("abc", 12345));
  EXPECT_EQ(L"", decodePage("abc", 99999));
  EXPECT_EQ(L"", decodePage("abc", 4294967295u));
}

TEST_F(AnsiPage, Windows1252IsTheDefault) {
  EXPECT_EQ(L"\u20AC", CWin32Helper::fromANSI("\x80"));
  EXPECT_EQ(L"\u0178", CWin32Helper::fromANSI("\x9F"));
  EXPECT_EQ(L"\u201A\u0152\u2122", CWin32Helper::fromANSI("\x82\x8C\x99"));
  EXPECT_EQ(L"\u00A0\u00e9\u00ff", CWin32Helper::fromANSI("\xA0\xE9\xFF"));
  EXPECT_EQ("\x80\x9F", CWin32Helper::ws2s(L"\u20AC\u0178"));
  EXPECT_EQ("\x80\x9F", CWin32Helper::toAnsi(L"\u20AC\u0178"));
  EXPECT_EQ(L"\u20AC\u0178", CWin32Helper::s2ws("\x80\x9F"));
  EXPECT_EQ("\xE9\xFF", CWin32Helper::ws2s(L"\u00e9\u00ff"));
}

TEST_F(AnsiPage, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) {
    all.push_back(static_cast<char>(b));
  }
  const std::wstring wide = CWin32Helper::fromANSI(all);
  ASSERT_EQ(255u, wide.size());
  EXPECT_EQ(all, CWin32Helper::toAnsi(wide));
  EXPECT_EQ(wide, CWin32Helper::s2ws(all));
}

TEST_F(AnsiPage, UnmappableCharactersBecomeQuestionMarks) {
  EXPECT_EQ("a?b", CWin32Helper::ws2s(L"a\u4e2db"));
  EXPECT_EQ("?", CWin32Helper::toAnsi(L"\u0100"));
  EXPECT_EQ("?", CWin32Helper::toAnsi(L"\U0001F600"));
  EXPECT_EQ("?", CWin32Helper::toAnsi(L"\uFFFD"));
  EXPECT_EQ("??", CWin32Helper::ws2s(
                      std::wstring{static_cast<wchar_t>(0xD800), static_cast<wchar_t>(-5)}));
}

TEST_F(AnsiPage, NulRulesPerOperation) {
  const std::string narrow("a\0\x80", 3);
  const std::wstring wide(L"a\0\u20AC", 3);
  EXPECT_EQ(wide, CWin32Helper::fromANSI(narrow));
  EXPECT_EQ(wide, CStringHelper::fromANSI(narrow));
  EXPECT_EQ(L"a", CWin32Helper::s2ws(narrow));
  EXPECT_EQ("a", CWin32Helper::ws2s(wide));
  EXPECT_EQ("a", CWin32Helper::toAnsi(wide));
  EXPECT_EQ("a", CStringHelper::toAnsi(wide));
  EXPECT_EQ(L"", CWin32Helper::s2ws(std::string(1, '\0')));
  EXPECT_EQ("", CWin32Helper::ws2s(L""));
  EXPECT_EQ(L"", CWin32Helper::fromANSI(""));
  // s2ws of UTF-8 text with a NUL stops there; fromUTF8 keeps the rest.
  const std::string utf8("x\0\xC3\xA9", 4);
  EXPECT_EQ(L"x", CWin32Helper::s2ws(utf8));
  EXPECT_EQ(std::wstring(L"x\0\u00e9", 3), CWin32Helper::fromUTF8(utf8));
}

TEST_F(AnsiPage, SwitchingTo1251AndBack) {
  ASSERT_TRUE(CWin32Helper::setAnsiCodePage(1251));
  EXPECT_EQ(1251u, CWin32Helper::getAnsiCodePage());
  EXPECT_EQ(L"\u0410\u044F", CWin32Helper::fromANSI("\xC0\xFF"));
  EXPECT_EQ(L"\u0402", CWin32Helper::s2ws("\x80"));
  EXPECT_EQ("\xC6", CWin32Helper::ws2s(L"\u0416"));
  EXPECT_EQ("\x88", CWin32Helper::toAnsi(L"\u20AC"));
  // Latin letters outside ASCII are not in the Cyrillic page.
  EXPECT_EQ("?", CWin32Helper::toAnsi(L"\u00e9"));
  EXPECT_EQ(L"\u041F\u0440\u0438\u0432\u0435\u0442",
            CStringHelper::format("%s", "\xCF\xF0\xE8\xE2\xE5\xF2"));
  const std::string cyrillic = "\xCF";
  EXPECT_EQ(L"\u041F",
            CStringHelper::fromBytes(reinterpret_cast<const unsigned char*>(cyrillic.data()), 0, 1,
                                     CStringHelper::ANSI));

  ASSERT_TRUE(CWin32Helper::setAnsiCodePage(1252));
  EXPECT_EQ(1252u, CWin32Helper::getAnsiCodePage());
  EXPECT_EQ(L"\u20AC", CWin32Helper::fromANSI("\x80"));
  EXPECT_EQ("\x80", CWin32Helper::toAnsi(L"\u20AC"));
  // A second switch reuses the page.
  ASSERT_TRUE(CWin32Helper::setAnsiCodePage(1251));
  EXPECT_EQ(L"\u0410", CWin32Helper::fromANSI("\xC0"));
}

TEST_F(AnsiPage, RefusesPagesThatAreNotSingleByte) {
  EXPECT_FALSE(CWin32Helper::setAnsiCodePage(65001));
  EXPECT_FALSE(CWin32Helper::setAnsiCodePage(65000));
  EXPECT_FALSE(CWin32Helper::setAnsiCodePage(1200));
  EXPECT_FALSE(CWin32Helper::setAnsiCodePage(932));
  EXPECT_FALSE(CWin32Helper::setAnsiCodePage(12345));
  EXPECT_EQ(1252u, CWin32Helper::getAnsiCodePage());
  EXPECT_EQ(L"\u20AC", CWin32Helper::fromANSI("\x80"));
}

TEST(CodePageConcurrency, ConversionsWhileThePageSwitches) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        // ASCII is the same in both pages; the high byte is one page's or
        // the other's, never anything else.
        const std::wstring wide = CWin32Helper::fromANSI("ok\xC0");
        if (wide != L"ok\u00C0" && wide != L"ok\u0410") {
          ++wrong;
        }
        const std::string narrow = CWin32Helper::toAnsi(L"ok");
        if (narrow != "ok") {
          ++wrong;
        }
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    CWin32Helper::setAnsiCodePage(i % 2 == 0 ? 1251 : 1252);
  }
  stop = true;
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_TRUE(CWin32Helper::setAnsiCodePage(1252));
  EXPECT_EQ(0, wrong.load());
}
