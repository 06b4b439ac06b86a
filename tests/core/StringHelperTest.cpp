#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qel/core/StringHelper.h"

using qel::CStringHelper;

namespace {

// "0123456789" repeated to length n: every position's digit is known, so a
// shortened or shifted result shows.
std::string digits(std::size_t n) {
  std::string text(n, '0');
  for (std::size_t i = 0; i < n; ++i) {
    text[i] = static_cast<char>('0' + i % 10);
  }
  return text;
}

std::wstring widen(const std::string& ascii) {
  return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace

TEST(Split, FieldsBetweenSeparators) {
  std::vector<std::wstring> out;
  CStringHelper::split(L"a,,b,", L',', out);
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"", L"b"}), out);

  out.clear();
  CStringHelper::split(L",a", L',', out);
  EXPECT_EQ((std::vector<std::wstring>{L"", L"a"}), out);

  out.clear();
  CStringHelper::split(L"whole", L',', out);
  EXPECT_EQ((std::vector<std::wstring>{L"whole"}), out);

  out.clear();
  CStringHelper::split(L"", L',', out);
  EXPECT_TRUE(out.empty());
}

TEST(Split, SeparatorRunsAndEnds) {
  std::vector<std::wstring> out;
  CStringHelper::split(L",", L',', out);
  EXPECT_EQ((std::vector<std::wstring>{L""}), out);

  out.clear();
  CStringHelper::split(L",,", L',', out);
  EXPECT_EQ((std::vector<std::wstring>{L"", L""}), out);

  out.clear();
  CStringHelper::split(L"a,b,,", L',', out);
  EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L""}), out);

  out.clear();
  CStringHelper::split(L"x\u20ACy\u20AC", L'\u20AC', out);
  EXPECT_EQ((std::vector<std::wstring>{L"x", L"y"}), out);
}

TEST(Split, AppendsWithoutClearing) {
  std::vector<std::wstring> out{L"kept"};
  CStringHelper::split(L"a;b", L';', out);
  CStringHelper::split(L"c", L';', out);
  EXPECT_EQ((std::vector<std::wstring>{L"kept", L"a", L"b", L"c"}), out);
}

TEST(Split, NarrowBehavesTheSameOverBytes) {
  std::vector<std::string> out;
  CStringHelper::split("a,,b,", ',', out);
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), out);
  CStringHelper::split(",z", ',', out);
  EXPECT_EQ((std::vector<std::string>{"a", "", "b", "", "z"}), out);

  out.clear();
  CStringHelper::split("", ',', out);
  EXPECT_TRUE(out.empty());

  out.clear();
  CStringHelper::split("\xC3\xA9|\xFF|", '|', out);
  EXPECT_EQ((std::vector<std::string>{"\xC3\xA9", "\xFF"}), out);

  // A NUL is an ordinary byte and can be the separator.
  out.clear();
  CStringHelper::split(std::string("p\0q", 3), '\0', out);
  EXPECT_EQ((std::vector<std::string>{"p", "q"}), out);
}

TEST(CaseMapping, OnlyAsciiLettersChange) {
  std::wstring text = L"abcXYZ09_@[`{ \u00e9\u00ff\u0101\u03b1\u4e2dz";
  CStringHelper::toUpper(text);
  EXPECT_EQ(L"ABCXYZ09_@[`{ \u00e9\u00ff\u0101\u03b1\u4e2dZ", text);

  std::wstring lower = L"ABCxyz09_@[`{ \u00c9\u00de\u0100\u0391\U0001F600A";
  CStringHelper::toLower(lower);
  EXPECT_EQ(L"abcxyz09_@[`{ \u00c9\u00de\u0100\u0391\U0001F600a", lower);
}

TEST(CaseMapping, CodeUnitsAbove255AreUntouched) {
  // Values whose low byte is an ASCII letter must not change.
  std::wstring text{static_cast<wchar_t>(0x161), static_cast<wchar_t>(0x141),
                    static_cast<wchar_t>(0x10061), static_cast<wchar_t>(-1),
                    static_cast<wchar_t>(0x7FFFFFFF)};
  const std::wstring original = text;
  CStringHelper::toUpper(text);
  EXPECT_EQ(original, text);
  CStringHelper::toLower(text);
  EXPECT_EQ(original, text);

  std::wstring empty;
  CStringHelper::toUpper(empty);
  EXPECT_TRUE(empty.empty());

  std::wstring withNul(L"a\0b", 3);
  CStringHelper::toUpper(withNul);
  EXPECT_EQ(std::wstring(L"A\0B", 3), withNul);
}

TEST(CompareNoCase, IgnoresAsciiCase) {
  EXPECT_EQ(0, CStringHelper::compareNoCase(L"ABC", L"abc"));
  EXPECT_EQ(0, CStringHelper::compareNoCase(L"", L""));
  EXPECT_EQ(0, CStringHelper::compareNoCase(L"MiXeD 1", L"mIxEd 1"));
  EXPECT_LT(CStringHelper::compareNoCase(L"a", L"B"), 0);
  EXPECT_GT(CStringHelper::compareNoCase(L"B", L"a"), 0);
  EXPECT_LT(CStringHelper::compareNoCase(L"abc", L"ABCD"), 0);
  EXPECT_GT(CStringHelper::compareNoCase(L"abcd", L"ABC"), 0);
  EXPECT_LT(CStringHelper::compareNoCase(L"", L"a"), 0);
}

TEST(CompareNoCase, FoldsToLowerCaseBeforeComparing) {
  // '_' (0x5F) lies between 'Z' and 'a': it sorts before any letter once
  // letters are folded to lower case.
  EXPECT_LT(CStringHelper::compareNoCase(L"_", L"A"), 0);
  EXPECT_GT(CStringHelper::compareNoCase(L"a", L"_"), 0);
}

TEST(CompareNoCase, ComparesAnsiBytesUnsignedWithoutFoldingNonAscii) {
  // E9 and C9 in the ANSI page differ; only ASCII letters fold.
  EXPECT_GT(CStringHelper::compareNoCase(L"\u00e9", L"\u00c9"), 0);
  EXPECT_NE(0, CStringHelper::compareNoCase(L"\u00e9", L"e"));
  // A byte above 0x7F sorts after every ASCII byte.
  EXPECT_GT(CStringHelper::compareNoCase(L"\u20AC", L"z"), 0);
  // Characters the page cannot hold both become '?'.
  EXPECT_EQ(0, CStringHelper::compareNoCase(L"\u4e2d", L"\u4e8c"));
  // The comparison ends at the first NUL, as the ANSI conversion does.
  EXPECT_EQ(0, CStringHelper::compareNoCase(std::wstring(L"ab\0x", 4), L"AB"));
}

TEST(NumberParsing, DecimalAsTheCLibraryReadsIt) {
  EXPECT_EQ(12, CStringHelper::toInt(L"12abc"));
  EXPECT_EQ(0, CStringHelper::toInt(L"abc"));
  EXPECT_EQ(0, CStringHelper::toInt(L""));
  EXPECT_EQ(42, CStringHelper::toInt(L"  \t42"));
  EXPECT_EQ(7, CStringHelper::toInt(L"+7"));
  EXPECT_EQ(-15, CStringHelper::toInt(L"-15 apples"));
  EXPECT_EQ(0, CStringHelper::toInt(L"- 5"));
  EXPECT_EQ(12, CStringHelper::toInt(L"12\u00e9"));
  // Base 10: no hexadecimal prefix.
  EXPECT_EQ(0, CStringHelper::toInt(L"0x1F"));
  EXPECT_EQ(2147483647, CStringHelper::toInt(L"2147483647"));
  EXPECT_EQ(INT_MIN, CStringHelper::toInt(L"-2147483648"));
  EXPECT_EQ(1, CStringHelper::toInt(std::wstring(L"1\0"
                                                 L"9",
                                                 3)));
}

TEST(NumberParsing, OutOfRangeSaturatesAt32Bits) {
  EXPECT_EQ(2147483647, CStringHelper::toInt(L"3000000000"));
  EXPECT_EQ(2147483647, CStringHelper::toInt(L"2147483648"));
  EXPECT_EQ(INT_MIN, CStringHelper::toInt(L"-3000000000"));
  EXPECT_EQ(INT_MIN, CStringHelper::toInt(L"-2147483649"));
  EXPECT_EQ(2147483647, CStringHelper::toInt(L"99999999999999999999999999"));
  EXPECT_EQ(INT_MIN, CStringHelper::toInt(L"-99999999999999999999999999"));
  EXPECT_EQ(2147483647, CStringHelper::toLong(L"3000000000"));
  EXPECT_EQ(INT_MIN, CStringHelper::toLong(L"-3000000000"));
}

TEST(NumberParsing, ToLongMatchesToInt) {
  for (const wchar_t* text : {L"0", L"123", L"-77x", L" 9", L"junk", L"4294967296"}) {
    EXPECT_EQ(CStringHelper::toInt(text), CStringHelper::toLong(text)) << text;
  }
}

TEST(NumberParsing, ToShortKeepsLow16Bits) {
  EXPECT_EQ(4464, CStringHelper::toShort(L"70000"));
  EXPECT_EQ(-4464, CStringHelper::toShort(L"-70000"));
  EXPECT_EQ(-32768, CStringHelper::toShort(L"32768"));
  EXPECT_EQ(32767, CStringHelper::toShort(L"32767"));
  EXPECT_EQ(-1, CStringHelper::toShort(L"65535"));
  EXPECT_EQ(0, CStringHelper::toShort(L"65536"));
  // The 32-bit result saturates first: 0x7FFFFFFF keeps 0xFFFF.
  EXPECT_EQ(-1, CStringHelper::toShort(L"3000000000"));
  // 0x80000000 keeps 0x0000.
  EXPECT_EQ(0, CStringHelper::toShort(L"-3000000000"));
}

TEST(NumberParsing, ToLongInBase) {
  EXPECT_EQ(255, CStringHelper::toLong(L"ff", 16));
  EXPECT_EQ(255, CStringHelper::toLong(L"FF", 16));
  EXPECT_EQ(26, CStringHelper::toLong(L"0x1A", 16));
  EXPECT_EQ(-26, CStringHelper::toLong(L"-0x1a", 16));
  EXPECT_EQ(511, CStringHelper::toLong(L"777", 8));
  EXPECT_EQ(5, CStringHelper::toLong(L"101", 2));
  EXPECT_EQ(35, CStringHelper::toLong(L"z", 36));
  EXPECT_EQ(15, CStringHelper::toLong(L"0xfg", 16));
  EXPECT_EQ(2147483647, CStringHelper::toLong(L"FFFFFFFF", 16));
  EXPECT_EQ(INT_MIN, CStringHelper::toLong(L"-80000000", 16));
  EXPECT_EQ(INT_MIN, CStringHelper::toLong(L"-FFFFFFFFFF", 16));
  // Base 0 picks the base from the prefix.
  EXPECT_EQ(16, CStringHelper::toLong(L"0x10", 0));
  EXPECT_EQ(8, CStringHelper::toLong(L"010", 0));
  // A base the C library does not accept gives no number.
  EXPECT_EQ(0, CStringHelper::toLong(L"12", 1));
  EXPECT_EQ(0, CStringHelper::toLong(L"12", 37));
  EXPECT_EQ(0, CStringHelper::toLong(L"12", -5));
}

TEST(NumberParsing, ToULongLong) {
  EXPECT_EQ(18446744073709551615ull, CStringHelper::toULongLong(L"18446744073709551615", 10));
  EXPECT_EQ(18446744073709551615ull, CStringHelper::toULongLong(L"18446744073709551616", 10));
  EXPECT_EQ(18446744073709551615ull, CStringHelper::toULongLong(L"999999999999999999999999", 10));
  EXPECT_EQ(9223372036854775808ull, CStringHelper::toULongLong(L"9223372036854775808", 10));
  EXPECT_EQ(255ull, CStringHelper::toULongLong(L"ff", 16));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, CStringHelper::toULongLong(L"0xFFFFFFFFFFFFFFFF", 16));
  EXPECT_EQ(4294967296ull, CStringHelper::toULongLong(L"4294967296", 10));
  EXPECT_EQ(12ull, CStringHelper::toULongLong(L" 12z", 10));
  EXPECT_EQ(0ull, CStringHelper::toULongLong(L"", 10));
  EXPECT_EQ(0ull, CStringHelper::toULongLong(L"\u4e2d1", 10));
  // The C library negates a leading minus in the unsigned type.
  EXPECT_EQ(18446744073709551615ull, CStringHelper::toULongLong(L"-1", 10));
}

TEST(FromInt, PrintsHexForRadix16AndDecimalOtherwise) {
  char buffer[16];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(buffer, CStringHelper::fromInt(255, buffer, sizeof(buffer), 16));
  EXPECT_STREQ("FF", buffer);
  EXPECT_EQ(buffer, CStringHelper::fromInt(255, buffer, sizeof(buffer), 10));
  EXPECT_STREQ("255", buffer);
  CStringHelper::fromInt(255, buffer, sizeof(buffer), 8);
  EXPECT_STREQ("255", buffer);
  CStringHelper::fromInt(255, buffer, sizeof(buffer), 2);
  EXPECT_STREQ("255", buffer);
  CStringHelper::fromInt(0, buffer, sizeof(buffer), 16);
  EXPECT_STREQ("0", buffer);
  CStringHelper::fromInt(4294967295u, buffer, 11, 10);
  EXPECT_STREQ("4294967295", buffer);
  CStringHelper::fromInt(4294967295u, buffer, 9, 16);
  EXPECT_STREQ("FFFFFFFF", buffer);
  CStringHelper::fromInt(0xABCDEFu, buffer, sizeof(buffer), 16);
  EXPECT_STREQ("ABCDEF", buffer);
}

TEST(FromInt, NullBufferGivesNull) {
  EXPECT_EQ(nullptr, CStringHelper::fromInt(255, nullptr, 16, 16));
  EXPECT_EQ(nullptr, CStringHelper::fromInt(255, nullptr, 0, 10));
}

TEST(FromInt, SmallBufferIsNeverWrittenPastItsSize) {
  for (int size = 0; size <= 4; ++size) {
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(buffer, CStringHelper::fromInt(1234567890u, buffer, size, 10));
    for (std::size_t i = static_cast<std::size_t>(size); i < sizeof(buffer); ++i) {
      EXPECT_EQ('#', buffer[i]) << "size " << size << ", byte " << i;
    }
  }
  char buffer[8];
  std::memset(buffer, '#', sizeof(buffer));
  EXPECT_EQ(buffer, CStringHelper::fromInt(5, buffer, -1, 16));
  for (char c : buffer) {
    EXPECT_EQ('#', c);
  }
}

TEST(Format, ExpandsPrintfDirectives) {
  EXPECT_EQ(L"42-x", CStringHelper::format("%d-%s", 42, "x"));
  EXPECT_EQ(L"", CStringHelper::format("%s", ""));
  EXPECT_EQ(L"ff FF 0777 -3 4294967295",
            CStringHelper::format("%x %X %04o %d %u", 255u, 255u, 0777u, -3, 4294967295u));
  EXPECT_EQ(L"100%", CStringHelper::format("100%%"));
  EXPECT_EQ("42-x", CStringHelper::formatToByteString("%d-%s", 42, "x"));
}

TEST(Format, ConvertsTheResultFromTheAnsiPage) {
  EXPECT_EQ(L"\u20AC \u00e9", CStringHelper::format("%s", "\x80 \xE9"));
  EXPECT_EQ("\x80 \xE9", CStringHelper::formatToByteString("%s", "\x80 \xE9"));
}

TEST(Format, KeepsEveryReportedCharacterIncludingNul) {
  const std::wstring wide = CStringHelper::format("a%cb", 0);
  EXPECT_EQ(std::wstring(L"a\0b", 3), wide);
  const std::string narrow = CStringHelper::formatToByteString("a%cb", 0);
  EXPECT_EQ(std::string("a\0b", 3), narrow);
}

TEST(Format, AcrossTheStackBufferBoundary) {
  for (std::size_t length : {1022u, 1023u, 1024u, 1025u, 2047u, 2048u, 2049u, 4096u}) {
    const std::string text = digits(length);
    EXPECT_EQ(text, CStringHelper::formatToByteString("%s", text.c_str())) << length;
    EXPECT_EQ(widen(text), CStringHelper::format("%s", text.c_str())) << length;
  }
}

TEST(Format, ArgumentsAfterTheFirstAttemptAreReadAgain) {
  const std::string head = digits(1020);
  // The result crosses 1,024 characters only with the later arguments.
  const std::string expected = head + "|12345|tail|" + std::string(1, 'Q');
  EXPECT_EQ(expected,
            CStringHelper::formatToByteString("%s|%d|%s|%c", head.c_str(), 12345, "tail", 'Q'));
  EXPECT_EQ(widen(expected),
            CStringHelper::format("%s|%d|%s|%c", head.c_str(), 12345, "tail", 'Q'));
}

TEST(Format, HugeExpansionComesOutWhole) {
  const std::string big = digits(100000);
  const std::string narrow = CStringHelper::formatToByteString("<%s>", big.c_str());
  ASSERT_EQ(100002u, narrow.size());
  EXPECT_EQ("<" + big + ">", narrow);

  const std::wstring wide = CStringHelper::format("%*d", 100000, 7);
  ASSERT_EQ(100000u, wide.size());
  EXPECT_EQ(std::wstring(99999, L' ') + L"7", wide);

  const std::string huge = CStringHelper::formatToByteString("%3000000s", "x");
  ASSERT_EQ(3000000u, huge.size());
  EXPECT_EQ(std::string(2999999, ' ') + "x", huge);
}
