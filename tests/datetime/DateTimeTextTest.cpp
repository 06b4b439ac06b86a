#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/datetime/DateTime.h"

using qel::CDateTime;
using qel::InvalidDateException;

namespace {

// Opens the protected reader to the tests.
class Parsable : public CDateTime {
 public:
  Parsable() = default;
  explicit Parsable(const CDateTime& value) : CDateTime(value) {}
  using CDateTime::parseDateTime;
};

CDateTime at(unsigned short y, unsigned short mo, unsigned short d, unsigned short h,
             unsigned short mi, unsigned short s = 0, unsigned short ms = 0) {
  return CDateTime(y, mo, d, h, mi, s, ms);
}

CDateTime utc(CDateTime value) {
  value.forceGMT(true);
  return value;
}

// The message of the InvalidDateException thrown for text, or "(none)".
std::wstring rejection(const std::string& text) {
  try {
    CDateTime value(text);
    return L"(none)";
  } catch (const InvalidDateException& e) {
    return e.getMessage();
  }
}

}  // namespace

TEST(DateTimeWrite, TimeFormsWithAndWithoutMillisecondsAndZ) {
  const CDateTime local = at(2013, 3, 5, 14, 7, 9, 45);
  const CDateTime gmt = utc(local);
  EXPECT_EQ(L"20130305T140709.045Z", gmt.toString(true));
  EXPECT_EQ(L"20130305T140709Z", gmt.toString(false));
  EXPECT_EQ(L"20130305T140709.045", local.toString(true));
  EXPECT_EQ(L"20130305T140709", local.toString(false));
  EXPECT_EQ("20130305T140709.045Z", gmt.toByteString(true));
  EXPECT_EQ("20130305T140709", local.toByteString(false));
  // The dashes flag only shapes the date-only form.
  CDateTime dashed = gmt;
  dashed.encodeDateUsingDashes(true);
  EXPECT_EQ(L"20130305T140709.045Z", dashed.toString(true));
}

TEST(DateTimeWrite, ZeroMillisecondsWriteNoFraction) {
  EXPECT_EQ(L"20130305T140709", at(2013, 3, 5, 14, 7, 9, 0).toString(true));
  EXPECT_EQ(L"20130305T000001Z", utc(at(2013, 3, 5, 0, 0, 1, 0)).toString(true));
  EXPECT_EQ(L"00010101T000001.001", at(1, 1, 1, 0, 0, 1, 1).toString(true));
}

TEST(DateTimeWrite, MidnightIsDateOnlyWhateverTheMillisecondsAndZone) {
  CDateTime value(2013, 3, 5);
  EXPECT_EQ(L"20130305", value.toString(true));
  value.encodeDateUsingDashes(true);
  EXPECT_EQ(L"2013-03-05", value.toString(true));
  EXPECT_EQ("2013-03-05", value.toByteString(false));
  value.forceGMT(true);
  EXPECT_EQ(L"2013-03-05", value.toString(true));
  value.encodeDateUsingDashes(false);
  EXPECT_EQ(L"20130305", value.toString(true));
  value.setTime(0, 0, 0, 250);
  EXPECT_EQ(L"20130305", value.toString(true));
  EXPECT_EQ(L"00010101", CDateTime(1, 1, 1).toString(false));
  EXPECT_EQ(L"99991231", CDateTime(9999, 12, 31).toString(false));
}

TEST(DateTimeWrite, InvalidValueWritesNothing) {
  CDateTime value;
  value.setms(12345678);
  value.forceGMT(true);
  EXPECT_EQ(L"", value.toString(true));
  EXPECT_EQ("", value.toByteString(true));
}

// Raw numbers can give fields wider than the layout; they are written in
// full, zero-padded to the layout's width, as printf's %04d and %02d do.
TEST(DateTimeWrite, RawValuesWriteTheirFieldsInFull) {
  for (std::uint32_t jd : {1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    for (std::uint32_t ms : {0u, 86400000u, 0xFFFFFFFFu}) {
      CDateTime value;
      value.setJD(jd);
      value.setms(ms);
      value.forceGMT(true);
      unsigned short y, mo, d, w, h, mi, s, mil;
      value.getDate(y, mo, d, w);
      value.getTime(h, mi, s, mil);
      char expected[64];
      if (h == 0 && mi == 0 && s == 0) {
        std::snprintf(expected, sizeof expected, "%04d%02d%02d", y, mo, d);
      } else if (mil != 0) {
        std::snprintf(expected, sizeof expected, "%04d%02d%02dT%02d%02d%02d.%03dZ", y, mo, d, h, mi,
                      s, mil);
      } else {
        std::snprintf(expected, sizeof expected, "%04d%02d%02dT%02d%02d%02dZ", y, mo, d, h, mi, s);
      }
      EXPECT_EQ(expected, value.toByteString(true)) << jd << " " << ms;
    }
  }
}

TEST(DateTimeRead, EachFormReadsItsFieldsAndZone) {
  Parsable value;
  ASSERT_TRUE(value.parseDateTime(L"20130305"));
  EXPECT_EQ(CDateTime(2013, 3, 5), value);
  EXPECT_FALSE(value.isGMTTime());

  ASSERT_TRUE(value.parseDateTime(L"2013-03-05"));
  EXPECT_EQ(CDateTime(2013, 3, 5), value);
  EXPECT_FALSE(value.isGMTTime());

  ASSERT_TRUE(value.parseDateTime(L"20130305T140709"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), value);
  EXPECT_FALSE(value.isGMTTime());

  ASSERT_TRUE(value.parseDateTime(L"20130305T140709Z"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), value);
  EXPECT_TRUE(value.isGMTTime());

  ASSERT_TRUE(value.parseDateTime(L"20130305T140709.045"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9, 45), value);
  EXPECT_FALSE(value.isGMTTime());

  ASSERT_TRUE(value.parseDateTime(L"20130305T140709.045Z"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9, 45), value);
  EXPECT_TRUE(value.isGMTTime());
}

TEST(DateTimeRead, WrittenFormsReadBack) {
  const CDateTime gmt = utc(at(2013, 3, 5, 14, 7, 9, 45));
  const CDateTime back(gmt.toByteString(true));
  EXPECT_EQ(gmt, back);
  EXPECT_TRUE(back.isGMTTime());

  const CDateTime noMs(gmt.toByteString(false));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), noMs);

  // A UTC midnight is written without Z and so reads back as local time.
  const CDateTime midnight(utc(CDateTime(2013, 3, 5)).toByteString(true));
  EXPECT_EQ(CDateTime(2013, 3, 5), midnight);
  EXPECT_FALSE(midnight.isGMTTime());
}

TEST(DateTimeRead, DashedDateLeavesTheDashesFlagClear) {
  const CDateTime value("2013-03-05");
  EXPECT_EQ(CDateTime(2013, 3, 5), value);
  EXPECT_FALSE(value.isEncodeDateUsingDashes());
  EXPECT_EQ(L"20130305", value.toString(true));

  Parsable dashed;
  dashed.encodeDateUsingDashes(true);
  ASSERT_TRUE(dashed.parseDateTime(L"20130305"));
  EXPECT_TRUE(dashed.isEncodeDateUsingDashes());
}

TEST(DateTimeRead, SeparatorsAreNotExamined) {
  EXPECT_EQ(CDateTime(2013, 3, 5), CDateTime("2013/03/05"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), CDateTime("20130305X140709"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9, 45), CDateTime("20130305_140709,045"));
  const CDateTime zoned("20130305T140709.045!");
  EXPECT_TRUE(zoned.isGMTTime());
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9, 45), zoned);
}

TEST(DateTimeRead, MidnightWithMillisecondsIsDateOnly) {
  const CDateTime value("20130305T000000.500");
  EXPECT_EQ(CDateTime(2013, 3, 5), value);
  EXPECT_EQ(0u, value.getms());
  // Milliseconds alone do not make a time, so even impossible ones pass.
  EXPECT_EQ(CDateTime(2013, 3, 5), CDateTime("20130305T000000.-01"));
  EXPECT_EQ(L"20130305T000001.-01", rejection("20130305T000001.-01"));
}

TEST(DateTimeRead, DateReplacesTheWholeValue) {
  Parsable value(at(2010, 1, 1, 10, 11, 12, 13));
  ASSERT_TRUE(value.parseDateTime(L"20130305"));
  EXPECT_EQ(CDateTime(2013, 3, 5), value);
}

TEST(DateTimeRead, TimeWithoutDateChangesOnlyTheTimeOfDay) {
  Parsable value(CDateTime(2010, 1, 1));
  ASSERT_TRUE(value.parseDateTime(L"00000000T140709"));
  EXPECT_EQ(at(2010, 1, 1, 14, 7, 9), value);
  // A date with any zero field is no date at all.
  ASSERT_TRUE(value.parseDateTime(L"20130005T010203.004"));
  EXPECT_EQ(at(2010, 1, 1, 1, 2, 3, 4), value);
  // On the default value the result holds a time but still no date.
  const CDateTime timeOnly("00000000T140709");
  EXPECT_FALSE(timeOnly.isValid());
  EXPECT_EQ(((14u * 60 + 7) * 60 + 9) * 1000, timeOnly.getms());
}

TEST(DateTimeRead, ImpossibleTextsFail) {
  for (const char* text :
       {"20130230", "20131305", "00000000", "20130305T240000", "20130305T006000", "20130305T000060",
        "2013-3-5", "", "2013030", "201303051", "20130305T14070", "20130305T140709.45",
        "20130305T140709.045ZZ", "19000229", "00000305", "0000-00-00"}) {
    EXPECT_EQ(qel::CStringHelper::fromANSI(text), rejection(text)) << text;
    Parsable value;
    EXPECT_FALSE(value.parseDateTime(qel::CStringHelper::fromANSI(text))) << text;
  }
  EXPECT_EQ(L"(none)", rejection("20000229"));
  EXPECT_EQ(L"(none)", rejection("20040229"));
}

TEST(DateTimeRead, FailureLeavesTheValueButNotTheZone) {
  Parsable value(at(2013, 3, 5, 14, 7, 9));
  // A recognised length sets the zone before the fields are judged.
  EXPECT_FALSE(value.parseDateTime(L"20131305T140709Z"));
  EXPECT_TRUE(value.isGMTTime());
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), value);
  EXPECT_FALSE(value.parseDateTime(L"20131305T140709"));
  EXPECT_FALSE(value.isGMTTime());
  // Any other length fails before anything changes.
  value.forceGMT(true);
  EXPECT_FALSE(value.parseDateTime(L"2013030512"));  // 10 characters, month 30
  EXPECT_FALSE(value.isGMTTime());
  value.forceGMT(true);
  EXPECT_FALSE(value.parseDateTime(L"201303051"));
  EXPECT_TRUE(value.isGMTTime());
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), value);
}

TEST(DateTimeRead, SignsAndSpacesReadAsTheCLibraryReadsNumbers) {
  // Each field is a decimal number with optional leading white space and
  // sign, ending at the first other character.
  EXPECT_EQ(CDateTime(2013, 3, 5), CDateTime("201303 5"));
  EXPECT_EQ(CDateTime(201, 3, 5), CDateTime("+2010305"));
  EXPECT_EQ(CDateTime(2, 3, 5), CDateTime("2x  0305"));
  EXPECT_EQ(at(2013, 3, 5, 1, 2, 3), CDateTime("20130305T+1+2+3"));
  // A negative field is a large unsigned number and fails the range checks.
  EXPECT_NE(L"(none)", rejection("-0130305"));
  EXPECT_NE(L"(none)", rejection("2013-1-5"));
  EXPECT_NE(L"(none)", rejection("20130305T-10000"));
  // A lone sign or spaces are no number: 0.
  EXPECT_NE(L"(none)", rejection("    0305"));
  EXPECT_NE(L"(none)", rejection("2013+-05"));
}

TEST(DateTimeRead, EmbeddedNulsEndAField) {
  const std::string nulDay("2013030\0", 8);
  EXPECT_EQ(qel::CStringHelper::fromANSI(nulDay), rejection(nulDay));
  EXPECT_EQ(8u, rejection(nulDay).size());
  // "0\0" reads as 0, "1\0" as 1.
  EXPECT_EQ(CDateTime(2013, 3, 1), CDateTime(std::string("2013031\0", 8)));
  const std::string allNul(20, '\0');
  EXPECT_EQ(std::wstring(20, L'\0'), rejection(allNul));
  Parsable value;
  EXPECT_FALSE(value.parseDateTime(std::wstring(16, L'\0')));
  EXPECT_TRUE(value.isGMTTime());
}

TEST(DateTimeRead, LongTextsFailWholeInTheMessage) {
  std::string text(10000, '1');
  text.replace(0, 8, "20130305");
  EXPECT_EQ(qel::CStringHelper::fromANSI(text), rejection(text));
  Parsable value;
  EXPECT_FALSE(value.parseDateTime(std::wstring(10000, L'9')));
  EXPECT_FALSE(value.isGMTTime());
}

TEST(DateTimeRead, NarrowTextIsTakenInTheAnsiPage) {
  // 0xB2 is superscript two in Windows-1252: no digit.
  const std::string text("2013030\xB2", 8);
  EXPECT_EQ(std::wstring(L"2013030\u00B2"), rejection(text));
}

TEST(DateTimeFromString, WideTextGoesThroughTheAnsiPage) {
  const CDateTime value = CDateTime::CDateTimeFromString(L"20130305T140709.045Z");
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9, 45), value);
  EXPECT_TRUE(value.isGMTTime());
  // A character the page cannot hold becomes '?', and the message is the
  // text as the page gives it back.
  try {
    CDateTime::CDateTimeFromString(L"2013\u4E2D0305");
    FAIL() << "no exception";
  } catch (const InvalidDateException& e) {
    EXPECT_EQ(L"2013?0305", e.getMessage());
  }
  try {
    CDateTime::CDateTimeFromString(L"2013-02-30");
    FAIL() << "no exception";
  } catch (const InvalidDateException& e) {
    EXPECT_EQ(L"2013-02-30", e.getMessage());
    EXPECT_EQ(L"InvalidDateException: 2013-02-30", e.toString());
  }
  // The narrow form ends at the first NUL of the wide text.
  EXPECT_EQ(CDateTime(2013, 3, 5),
            CDateTime::CDateTimeFromString(std::wstring(L"20130305\0garbage", 16)));
}

TEST(DateTimeText, FollowsAnAnsiPageThatIsNotAscii) {
  // IBM037 (EBCDIC): the digits are 0xF0 to 0xF9.
  if (!qel::CWin32Helper::setAnsiCodePage(37)) {
    GTEST_SKIP() << "the C library does not know IBM037";
  }
  const std::string ebcdic = CDateTime(2013, 3, 5).toByteString(true);
  CDateTime read;
  bool parsed = true;
  try {
    read = CDateTime(std::string("\xF2\xF0\xF1\xF3\xF0\xF3\xF0\xF5"));
  } catch (const InvalidDateException&) {
    parsed = false;
  }
  qel::CWin32Helper::setAnsiCodePage(1252);
  EXPECT_EQ(std::string("\xF2\xF0\xF1\xF3\xF0\xF3\xF0\xF5"), ebcdic);
  EXPECT_TRUE(parsed);
  EXPECT_EQ(CDateTime(2013, 3, 5), read);
}
