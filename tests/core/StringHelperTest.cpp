#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "qel/core/StringHelper.h"
#include "support/Text.h"

using qel::CStringHelper;
using qel_test::widen;
using Words = std::vector<std::wstring>;

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

}  // namespace

// Fields between separators; a separator at the end adds no empty field.
// The narrow form does the same over bytes, a NUL included.
TEST(Split, FieldsBetweenSeparatorsAppendedToTheOutput) {
  using Case = std::tuple<std::wstring, wchar_t, Words>;
  const Case cases[] = {{L"a,,b,", L',', {L"a", L"", L"b"}},
                        {L",a", L',', {L"", L"a"}},
                        {L"whole", L',', {L"whole"}},
                        {L"", L',', {}},
                        {L",", L',', {L""}},
                        {L",,", L',', {L"", L""}},
                        {L"a,b,,", L',', {L"a", L"b", L""}},
                        {L"x\u20ACy\u20AC", L'\u20AC', {L"x", L"y"}}};
  for (const auto& [text, separator, fields] : cases) {
    Words out{L"kept"};
    CStringHelper::split(text, separator, out);
    EXPECT_EQ(L"kept", out.front());
    EXPECT_EQ(fields, Words(out.begin() + 1, out.end())) << text.size();
  }
  std::vector<std::string> out;
  CStringHelper::split("a,,b,", ',', out);
  CStringHelper::split("", ',', out);
  CStringHelper::split("\xC3\xA9|\xFF|", '|', out);
  CStringHelper::split(std::string("p\0q", 3), '\0', out);
  EXPECT_EQ((std::vector<std::string>{"a", "", "b", "\xC3\xA9", "\xFF", "p", "q"}), out);
}

TEST(CaseMapping, OnlyAsciiLettersChange) {
  const auto mapped = [](std::wstring text, bool upper) {
    upper ? CStringHelper::toUpper(text) : CStringHelper::toLower(text);
    return text;
  };
  EXPECT_EQ(L"ABCXYZ09_@[`{ \u00e9\u00ff\u0101\u03b1\u4e2dZ",
            mapped(L"abcXYZ09_@[`{ \u00e9\u00ff\u0101\u03b1\u4e2dz", true));
  EXPECT_EQ(L"abcxyz09_@[`{ \u00c9\u00de\u0100\u0391\U0001F600a",
            mapped(L"ABCxyz09_@[`{ \u00c9\u00de\u0100\u0391\U0001F600A", false));
  EXPECT_EQ(std::wstring(L"A\0B", 3), mapped(std::wstring(L"a\0b", 3), true));
  // Values whose low byte is an ASCII letter must not change.
  const std::wstring high{static_cast<wchar_t>(0x161), static_cast<wchar_t>(0x141),
                          static_cast<wchar_t>(0x10061), static_cast<wchar_t>(-1),
                          static_cast<wchar_t>(0x7FFFFFFF)};
  EXPECT_EQ(high, mapped(high, true));
  EXPECT_EQ(high, mapped(high, false));
}

// Letters fold to lower case ('_' sorts before them); the texts compare as
// unsigned bytes of the ANSI page up to the first NUL, where unmappable
// characters are all '?'.
TEST(CompareNoCase, ComparesFoldedAnsiBytes) {
  const std::tuple<std::wstring, std::wstring, int> cases[] = {
      {L"", L"", 0},    {L"_", L"A", -1},     {L"abc", L"ABCD", -1},
      {L"B", L"a", 1},  {L"ABC", L"abc", 0},  {L"\u00e9", L"\u00c9", 1},
      {L"", L"a", -1},  {L"abcd", L"ABC", 1}, {L"\u4e2d", L"\u4e8c", 0},
      {L"a", L"_", 1},  {L"\u00e9", L"e", 1}, {L"MiXeD 1", L"mIxEd 1", 0},
      {L"a", L"B", -1}, {L"\u20AC", L"z", 1}, {std::wstring(L"ab\0x", 4), L"AB", 0}};
  for (const auto& [a, b, sign] : cases) {
    const int result = CStringHelper::compareNoCase(a, b);
    EXPECT_EQ(sign, (result > 0) - (result < 0)) << a.size() << " " << b.size();
  }
}

// As the C library reads numbers: leading white space and a sign, digits up
// to the first other character, saturating at 32 bits; toShort keeps the
// low 16 bits of that.
TEST(NumberParsing, DecimalSaturatesAt32BitsShortKeepsTheLow16) {
  const std::tuple<std::wstring, int> cases[] = {
      {L"12abc", 12},      {L"abc", 0},          {L"", 0},
      {L"  \t42", 42},     {L"+7", 7},           {L"- 5", 0},
      {L"12\u00e9", 12},   {L"0x1F", 0},         {L"70000", 70000},
      {L"-70000", -70000}, {L"32768", 32768},    {L"65535", 65535},
      {L"65536", 65536},   {L"-15 apples", -15}, {std::wstring(L"1\0009", 3), 1}};
  const std::tuple<std::wstring, int> limits[] = {
      {L"2147483647", INT_MAX},  {L"-3000000000", INT_MIN},
      {L"3000000000", INT_MAX},  {L"-2147483649", INT_MIN},
      {L"2147483648", INT_MAX},  {L"99999999999999999999999999", INT_MAX},
      {L"-2147483648", INT_MIN}, {L"-99999999999999999999999999", INT_MIN}};
  const auto check = [](const auto& table) {
    for (const auto& [text, value] : table) {
      EXPECT_EQ(value, CStringHelper::toInt(text)) << text.size();
      EXPECT_EQ(value, CStringHelper::toLong(text)) << text.size();
      EXPECT_EQ(static_cast<short>(value & 0xFFFF), CStringHelper::toShort(text));
    }
  };
  check(cases);
  check(limits);
}

TEST(NumberParsing, InABase) {
  const std::tuple<const wchar_t*, int, std::int32_t> cases[] = {
      {L"ff", 16, 255}, {L"FF", 16, 255}, {L"0x1A", 16, 26}, {L"-0x1a", 16, -26}, {L"777", 8, 511},
      {L"101", 2, 5},   {L"z", 36, 35},   {L"0xfg", 16, 15}, {L"0x10", 0, 16},    {L"010", 0, 8},
      {L"12", 1, 0},    {L"12", 37, 0},   {L"12", -5, 0}};
  const std::tuple<const wchar_t*, int, std::int32_t> limits[] = {
      {L"FFFFFFFF", 16, INT_MAX}, {L"-80000000", 16, INT_MIN}, {L"-FFFFFFFFFF", 16, INT_MIN}};
  const auto check = [](const auto& table) {
    for (const auto& [text, base, value] : table) {
      EXPECT_EQ(value, CStringHelper::toLong(text, base)) << text << " " << base;
    }
  };
  check(cases);
  check(limits);
  const std::tuple<const wchar_t*, int, unsigned long long> unsignedCases[] = {
      {L"18446744073709551615", 10, ULLONG_MAX},
      {L"18446744073709551616", 10, ULLONG_MAX},
      {L"999999999999999999999999", 10, ULLONG_MAX},
      {L"9223372036854775808", 10, 9223372036854775808ull},
      {L"0xFFFFFFFFFFFFFFFF", 16, ULLONG_MAX},
      {L"4294967296", 10, 4294967296ull},
      {L" 12z", 10, 12},
      {L"", 10, 0},
      {L"\u4e2d1", 10, 0},
      {L"-1", 10, ULLONG_MAX}};  // negated in the unsigned type
  for (const auto& [text, base, value] : unsignedCases) {
    EXPECT_EQ(value, CStringHelper::toULongLong(text, base)) << text;
  }
}

// Hexadecimal for radix 16, decimal for any other, never past the size.
TEST(FromInt, PrintsWithinTheBuffer) {
  const std::tuple<std::uint32_t, int, int, const char*> cases[] = {
      {0, 16, 16, "0"},    {255, 16, 2, "255"},          {4294967295u, 9, 16, "FFFFFFFF"},
      {255, 16, 16, "FF"}, {255, 16, 10, "255"},         {4294967295u, 11, 10, "4294967295"},
      {255, 16, 8, "255"}, {0xABCDEFu, 16, 16, "ABCDEF"}};
  for (const auto& [value, size, radix, text] : cases) {
    char buffer[16];
    EXPECT_EQ(buffer, CStringHelper::fromInt(value, buffer, size, radix));
    EXPECT_STREQ(text, buffer);
  }
  EXPECT_EQ(nullptr, CStringHelper::fromInt(255, nullptr, 16, 16));
  for (int size = -1; size <= 4; ++size) {
    char buffer[16];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(buffer, CStringHelper::fromInt(1234567890u, buffer, size, 10));
    const std::string untouched(buffer + (size > 0 ? size : 0), buffer + sizeof(buffer));
    EXPECT_EQ(std::string(untouched.size(), '#'), untouched) << size;
  }
}

TEST(Format, ExpandsPrintfDirectivesFromTheAnsiPage) {
  EXPECT_EQ(L"42-x", CStringHelper::format("%d-%s", 42, "x"));
  EXPECT_EQ(L"", CStringHelper::format("%s", ""));
  EXPECT_EQ(L"ff FF 0777 -3 4294967295 100%",
            CStringHelper::format("%x %X %04o %d %u 100%%", 255u, 255u, 0777u, -3, 4294967295u));
  EXPECT_EQ("42-x", CStringHelper::formatToByteString("%d-%s", 42, "x"));
  EXPECT_EQ(L"\u20AC \u00e9", CStringHelper::format("%s", "\x80 \xE9"));
  EXPECT_EQ("\x80 \xE9", CStringHelper::formatToByteString("%s", "\x80 \xE9"));
  EXPECT_EQ(std::wstring(L"a\0b", 3), CStringHelper::format("a%cb", 0));
  EXPECT_EQ(std::string("a\0b", 3), CStringHelper::formatToByteString("a%cb", 0));
}

TEST(Format, LongResultsComeOutWhole) {
  for (std::size_t length : {1022u, 1023u, 1024u, 1025u, 2047u, 2048u, 2049u, 4096u, 100000u}) {
    const std::string text = digits(length);
    EXPECT_EQ("<" + text + ">", CStringHelper::formatToByteString("<%s>", text.c_str())) << length;
    EXPECT_EQ(widen(text), CStringHelper::format("%s", text.c_str())) << length;
  }
  // The result crosses 1,024 characters only with the later arguments, which
  // must be read again.
  const std::string head = digits(1020);
  const std::string expected = head + "|12345|tail|Q";
  EXPECT_EQ(expected,
            CStringHelper::formatToByteString("%s|%d|%s|%c", head.c_str(), 12345, "tail", 'Q'));
  EXPECT_EQ(widen(expected),
            CStringHelper::format("%s|%d|%s|%c", head.c_str(), 12345, "tail", 'Q'));
  EXPECT_EQ(std::wstring(99999, L' ') + L"7", CStringHelper::format("%*d", 100000, 7));
  EXPECT_EQ(std::string(2999999, ' ') + "x", CStringHelper::formatToByteString("%3000000s", "x"));
}
