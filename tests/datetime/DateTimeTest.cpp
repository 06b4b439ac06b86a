#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/datetime/DateTime.h"
#include "support/Thrown.h"

using qel::CDateTime;
using qel::CStringHelper;
using qel::InvalidDateException;

namespace {

std::string dateOf(const CDateTime& value) {
  unsigned short y, mo, d, w;
  value.getDate(y, mo, d, w);
  return std::to_string(y) + "-" + std::to_string(mo) + "-" + std::to_string(d) + " " +
         std::to_string(w);
}

std::string timeOf(const CDateTime& value) {
  unsigned short h, mi, s, ms;
  value.getTime(h, mi, s, ms);
  return std::to_string(h) + ":" + std::to_string(mi) + ":" + std::to_string(s) + "." +
         std::to_string(ms);
}

CDateTime raw(std::uint32_t jd, std::uint32_t ms) {
  CDateTime value;
  value.setJD(jd);
  value.setms(ms);
  return value;
}

constexpr std::int64_t kMsPerDay = 86400000;

// Opens the protected reader to the tests.
class Parsable : public CDateTime {
 public:
  Parsable() = default;
  explicit Parsable(const CDateTime& value) : CDateTime(value) {}
  using CDateTime::parseDateTime;
};

CDateTime at(unsigned short y, unsigned short mo, unsigned short d, unsigned short h = 0,
             unsigned short mi = 0, unsigned short s = 0, unsigned short ms = 0, bool gmt = false,
             bool dashes = false) {
  CDateTime value(y, mo, d, h, mi, s, ms);
  value.forceGMT(gmt);
  value.encodeDateUsingDashes(dashes);
  return value;
}

// The message of the InvalidDateException thrown for text, or "<nothing thrown>".
std::wstring rejection(const std::string& text) {
  return qel_test::messageOf<InvalidDateException>([&] { CDateTime value(text); });
}

int daysInMonth(int year, int month) {
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2                                              ? (leap ? 29 : 28)
         : month == 4 || month == 6 || month == 9 || month == 11 ? 30
                                                                 : 31;
}

}  // namespace

// The edges (DateTimeCalendar walks every day); the constructors refuse the same.
TEST(DateTimeValidation, LeapYearsDatesAndTimes) {
  const unsigned short years[] = {2000, 2004, 1600, 1900, 2100, 2001};
  for (const auto& year : years) {
    EXPECT_EQ(&year < years + 3, CDateTime::IsLeapYear(year)) << year;
  }
  const unsigned short dates[][3] = {
      {2000, 2, 29}, {1, 1, 1},     {9999, 12, 31},       {1900, 2, 29}, {2013, 2, 30},
      {2013, 4, 31}, {2013, 1, 0},  {2013, 1, 32},        {2013, 0, 1},  {2013, 13, 1},
      {0, 1, 1},     {10000, 1, 1}, {65535, 65535, 65535}};
  for (const auto& c : dates) {
    SCOPED_TRACE(std::to_string(c[0]) + "-" + std::to_string(c[1]) + "-" + std::to_string(c[2]));
    const bool valid = &c < dates + 3;
    EXPECT_EQ(valid, CDateTime::IsValidDate(c[0], c[1], c[2]));
    EXPECT_EQ(valid ? L"<nothing thrown>" : L"",
              qel_test::messageOf<InvalidDateException>([&] { CDateTime(c[0], c[1], c[2]); }));
    EXPECT_EQ(valid, qel_test::messageOf<InvalidDateException>([&] { at(c[0], c[1], c[2], 12); }) ==
                         L"<nothing thrown>");
  }
  const unsigned short times[][4] = {{0, 0, 0, 0},  {23, 59, 59, 999}, {24, 0, 0, 0},
                                     {0, 60, 0, 0}, {0, 0, 60, 0},     {0, 0, 0, 1000}};
  for (const auto& c : times) {
    SCOPED_TRACE(std::to_string(c[0]) + ":" + std::to_string(c[1]) + ":" + std::to_string(c[2]));
    const bool valid = &c < times + 2;
    EXPECT_EQ(valid, CDateTime::IsValidTime(c[0], c[1], c[2], c[3]));
    EXPECT_EQ(valid, qel_test::messageOf<InvalidDateException>(
                         [&] { at(2013, 3, 5, c[0], c[1], c[2], c[3]); }) == L"<nothing thrown>");
  }
}

// A day number and milliseconds, by default day 0 with clear flags.
TEST(DateTimeFields, SettersChangeTheirHalfFailedOnesNothing) {
  const CDateTime none;
  EXPECT_TRUE(!none.isValid() && none.getJD() == 0 && none.getms() == 0 && !none.isGMTTime() &&
              !none.isEncodeDateUsingDashes());
  CDateTime value = at(2000, 1, 1, 23, 59, 59, 999, true, true);
  EXPECT_EQ(2451545u, value.getJD());
  EXPECT_EQ(86399999u, value.getms());
  value.setDate(2014, 6, 30);
  EXPECT_EQ(at(2014, 6, 30, 23, 59, 59, 999), value);
  value.setTime(1, 2, 3, 4);
  EXPECT_EQ(((1u * 60 + 2) * 60 + 3) * 1000 + 4, value.getms());
  EXPECT_THROW(value.setDate(2013, 2, 29), InvalidDateException);
  EXPECT_THROW(value.setTime(24, 0, 0, 0), InvalidDateException);
  EXPECT_THROW(value.setTime(0, 0, 0, 1000), InvalidDateException);
  EXPECT_EQ(at(2014, 6, 30, 1, 2, 3, 4), value);
  CDateTime copy;
  copy = value;
  EXPECT_TRUE(copy.isGMTTime() && copy.isEncodeDateUsingDashes());
  value.forceGMT(false);
  EXPECT_TRUE(!value.isGMTTime() && value.isEncodeDateUsingDashes());
}

TEST(DateTimeComparison, DayThenTimeUnsignedFlagsTakeNoPart) {
  CDateTime utc = at(2013, 3, 5, 14, 7);
  utc.forceGMT(true);
  CDateTime dashed = at(2013, 3, 5, 14, 7);
  dashed.encodeDateUsingDashes(true);
  EXPECT_TRUE(utc == dashed && utc <= dashed && utc >= dashed);
  EXPECT_FALSE(utc != dashed || utc < dashed || utc > dashed);
  // Ordered pairs: earlier, later.
  const CDateTime pairs[][2] = {{at(2013, 3, 5, 23, 59, 59, 999), at(2013, 3, 6)},
                                {at(2013, 3, 5, 1), at(2013, 3, 5, 2)},
                                {CDateTime(), at(1, 1, 1)},
                                {raw(1, 0), raw(0x80000000u, 0)},
                                {at(2013, 3, 5), raw(at(2013, 3, 5).getJD(), 0xFFFFFFFFu)},
                                {raw(at(2013, 3, 5).getJD(), 0xFFFFFFFFu), at(2013, 3, 6)}};
  for (const auto& p : pairs) {
    EXPECT_TRUE(p[0] < p[1] && p[1] > p[0] && p[0] <= p[1] && p[0] != p[1]);
    EXPECT_FALSE(p[0] >= p[1] || p[1] < p[0] || p[0] == p[1]);
  }
}

// Across days, months, years and leap days; raw values wrap: the time part is
// cut to 32 bits, the stored milliseconds read signed, one carry either way.
TEST(DateTimeAdjust, ShiftsCarryAndWrap) {
  const std::tuple<CDateTime, short, short, short, short, short, CDateTime> cases[] = {
      {at(2000, 3, 1), 0, 0, 0, 0, -1, at(2000, 2, 29, 23, 59, 59, 999)},
      {at(2013, 3, 5, 23), 0, 2, 0, 0, 0, at(2013, 3, 6, 1)},
      {at(2013, 3, 5), 0, -25, 0, 0, 0, at(2013, 3, 3, 23)},
      {at(2013, 12, 31, 23, 59, 59, 999), 0, 0, 0, 0, 1, at(2014, 1, 1)},
      {at(2014, 1, 1), 0, 0, 0, 0, -1, at(2013, 12, 31, 23, 59, 59, 999)},
      {at(2013, 4, 30, 12), 1, 0, 0, 0, 0, at(2013, 5, 1, 12)},
      {at(2013, 5, 1, 12), -1, -12, 0, 0, 0, at(2013, 4, 30)},
      {at(1900, 2, 28), 0, 0, 24 * 60, 0, 0, at(1900, 3, 1)},
      {at(2004, 2, 28), 0, 0, 0, 20864, 0, at(2004, 2, 28, 5, 47, 44)},
      {at(2004, 2, 28, 5, 47, 44), 1, 0, 0, 0, 0, at(2004, 2, 29, 5, 47, 44)},
      {at(2004, 2, 29, 5, 47, 44), 366, 0, 0, 0, 0, at(2005, 3, 1, 5, 47, 44)},
      // 600 hours is 2,160,000,000 ms: read signed, 24 days and 61,367,296 ms back.
      {at(2013, 3, 5), 0, 600, 0, 0, 0, at(2013, 2, 8, 6, 57, 12, 704)},
      {raw(1721426, 0), 32767, 32767, 32767, 32767, 32767, raw(1754189, 46535479)},
      {raw(2451604, 86399999), -32768, -32768, -32768, -32768, -32768, raw(2418840, 36203519)},
      {raw(5373484, 0), -1000, 597, -25, 999, -32768, raw(5372459, 13698936)},
      {raw(2451604, 86399999), 24, 596, 1000, 0, 32767, raw(2451604, 70665470)},
      {raw(1721426, 0), 1, -32767, 32767, -32768, 0, raw(1721426, 22568992)},
      {raw(0, 0), -32768, -32768, -32768, -32768, -32768, raw(4294934531u, 36203520)},
      {raw(~0u, ~0u), 32767, 32767, 32767, 32767, 32767, raw(32762, 46535478)},
      {raw(0x80000000u, 0x7FFFFFFFu), 1, 1, 1, 1, 1, raw(0x80000000u, 2237544648u)},
      {raw(1, 0x80000000u), -1, -1, -1, -1, -1, raw(1, 2057422647)},
      {raw(0xFADA7FFFu, 86400000), -32768, -32768, -32768, -32768, -32768,
       raw(4208590851u, 36203520)},
      {raw(86399999, 0xFADA7FFFu), 32767, 32767, 32767, 32767, 32767, raw(86432762, 4255159094u)}};
  for (const auto& [start, d, h, mi, s, ms, expected] : cases) {
    CDateTime value = start;
    value.forceGMT(true);
    value.encodeDateUsingDashes(true);
    value.adjust(d, h, mi, s, ms);
    const std::string trace = std::to_string(start.getJD()) + " " + std::to_string(d);
    EXPECT_EQ(expected.getJD(), value.getJD()) << trace << " " << h;
    EXPECT_EQ(expected.getms(), value.getms()) << trace << " " << h;
    EXPECT_TRUE(value.isGMTTime() && value.isEncodeDateUsingDashes());
  }
}

// Signed 32-bit arithmetic with wrap, fields as 16-bit patterns; day 0 is
// 24 November 4714 BC (year -4713).
TEST(DateTimeRaw, GetDateOfAnyNumberIsTheWrappedArithmetic) {
  // year-month-day weekday
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "60823-11-24 1"},          {0x7FFFFFFFu, "60823-11-23 65534"},
      {1, "60823-11-25 2"},          {0x80000000u, "60823-11-24 65535"},
      {1721425, "0-12-31 0"},        {0x7FFEF000u, "60634-65529-65509 0"},
      {5373485, "10000-1-1 6"},      {0xFFFEF000u, "60634-65529-65509 65534"},
      {0xFFFFFFFFu, "60823-11-23 0"}};
  for (const auto& [jd, date] : cases) {
    EXPECT_EQ(date, dateOf(raw(jd, 0))) << jd;
  }
  // The time divides the raw milliseconds unsigned: one whole day is hour 24.
  EXPECT_EQ("1193:2:47.295", timeOf(raw(1, 0xFFFFFFFFu)));
  EXPECT_EQ("24:0:0.0", timeOf(raw(1, 86400000u)));
}

TEST(DateTimeClock, SystemTimeIsUtcAndNowLocalTimeFollowsTheZone) {
  using namespace std::chrono;
  const auto msOf = [](const CDateTime& v) { return v.getJD() * kMsPerDay + v.getms(); };
  const auto now = [] {  // 1 January 1970 is day 2,440,588
    return 2440588 * kMsPerDay +
           duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  };
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("TZ", "QEL-5", 1);  // five hours east of UTC, no daylight saving
  const std::int64_t before = now();
  const CDateTime utc = CDateTime::GetSystemTime();
  const std::int64_t after = now();
  const CDateTime local = CDateTime::GetLocalTime();
  old != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  EXPECT_TRUE(utc.isGMTTime() && utc.isValid() && !utc.isEncodeDateUsingDashes());
  EXPECT_TRUE(!local.isGMTTime() && local.isValid() && utc.getms() < 86400000u);
  EXPECT_TRUE(utc.getJD() >= before / kMsPerDay && utc.getJD() <= after / kMsPerDay);
  // Five hours apart, give or take the moment between the two readings.
  EXPECT_NEAR(5.0 * 3600000.0, static_cast<double>(msOf(local) - msOf(utc)), 60000.0);
}

// Fields of raw numbers wider than the layout are written in full.
TEST(DateTimeWrite, FormsByTimeMillisecondsZoneAndDashes) {
  const auto utc = [](CDateTime value) {
    value.forceGMT(true);
    return value;
  };
  const std::tuple<CDateTime, bool, const char*> cases[] = {
      {at(2013, 3, 5, 14, 7, 9, 45, true), true, "20130305T140709.045Z"},
      {at(2013, 3, 5, 14, 7, 9, 45, true), false, "20130305T140709Z"},
      {at(2013, 3, 5, 14, 7, 9, 45), true, "20130305T140709.045"},
      {at(2013, 3, 5, 14, 7, 9, 45), false, "20130305T140709"},
      {at(2013, 3, 5, 14, 7, 9, 45, true, true), true, "20130305T140709.045Z"},
      {at(2013, 3, 5, 14, 7, 9), true, "20130305T140709"},
      {at(2013, 3, 5, 0, 0, 1, 0, true), true, "20130305T000001Z"},
      {at(1, 1, 1, 0, 0, 1, 1), true, "00010101T000001.001"},
      {at(2013, 3, 5), true, "20130305"},
      {at(2013, 3, 5, 0, 0, 0, 0, false, true), true, "2013-03-05"},
      {at(2013, 3, 5, 0, 0, 0, 0, true, true), false, "2013-03-05"},
      {at(2013, 3, 5, 0, 0, 0, 250, true), true, "20130305"},
      {at(1, 1, 1), false, "00010101"},
      {at(9999, 12, 31), false, "99991231"},
      {utc(raw(0, 12345678)), true, ""},
      {utc(raw(1, 0)), true, "608231125"},
      {utc(raw(0x7FFFFFFFu, 86400000)), true, "608231123T240000Z"},
      {utc(raw(0x80000000u, ~0u)), true, "608231124T11930247.295Z"},
      {utc(raw(~0u, ~0u)), true, "608231123T11930247.295Z"}};
  for (const auto& [value, withMs, text] : cases) {
    EXPECT_EQ(CStringHelper::fromANSI(text), value.toString(withMs));
    EXPECT_EQ(text, value.toByteString(withMs));
  }
}

// 1 January of year 1 is day 1,721,426, a Monday; every fifth day is also
// written with a time and read back, and written with dashes.
TEST(DateTimeCalendar, EveryDayOfYears1To9999ConvertsWritesAndReadsBack) {
  std::uint32_t jd = 1721426;
  int weekday = 1;
  long failures = 0;
  for (unsigned short y = 1; y <= 9999; ++y) {
    for (unsigned short m = 1; m <= 12; ++m) {
      const auto length = static_cast<unsigned short>(daysInMonth(y, m));
      EXPECT_FALSE(CDateTime::IsValidDate(y, m, static_cast<unsigned short>(length + 1)));
      for (unsigned short d = 1; d <= length; ++d, ++jd, weekday = (weekday + 1) % 7) {
        unsigned short gy, gm, gd, gw;
        raw(jd, 0).getDate(gy, gm, gd, gw);
        bool ok = CDateTime::IsValidDate(y, m, d) && CDateTime(y, m, d).getJD() == jd && gy == y &&
                  gm == m && gd == d && gw == weekday;
        if (jd % 5 == 0) {
          const unsigned h = 1 + (y + d) % 23, mi = (m * 7 + d) % 60, s = (y * 3 + d) % 60;
          const unsigned ms = 1 + (y + m * 31 + d) % 999;
          const bool gmt = d % 2 == 0;
          const CDateTime timed = at(y, m, d, h, mi, s, ms, gmt);
          char text[32];
          std::snprintf(text, sizeof text, "%04u%02u%02uT%02u%02u%02u.%03u%s", unsigned{y},
                        unsigned{m}, unsigned{d}, h, mi, s, ms, gmt ? "Z" : "");
          const CDateTime back(text);
          ok = ok && timed.toByteString(true) == text && back == timed && back.isGMTTime() == gmt;
          std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned{y}, unsigned{m}, unsigned{d});
          ok = ok && at(y, m, d, 0, 0, 0, 0, false, true).toByteString(false) == text;
        }
        if (!ok && ++failures < 10) {
          ADD_FAILURE() << y << "-" << m << "-" << d << " against day " << jd;
        }
      }
    }
  }
  EXPECT_EQ(0, failures);
  EXPECT_EQ(5373484u, jd - 1);  // 31 December 9999
}

// Fields read as strtoul reads them; separators are not examined.
TEST(DateTimeRead, EachFormReadsItsFieldsAndZone) {
  const std::tuple<std::string, CDateTime, bool> cases[] = {
      {"20130305", at(2013, 3, 5), false},
      {"2013-03-05", at(2013, 3, 5), false},
      {"20130305T140709", at(2013, 3, 5, 14, 7, 9), false},
      {"20130305T140709Z", at(2013, 3, 5, 14, 7, 9), true},
      {"20130305T140709.045", at(2013, 3, 5, 14, 7, 9, 45), false},
      {"20130305T140709.045Z", at(2013, 3, 5, 14, 7, 9, 45), true},
      {"20000229", at(2000, 2, 29), false},
      {"20040229", at(2004, 2, 29), false},
      {"2013/03/05", at(2013, 3, 5), false},
      {"20130305X140709", at(2013, 3, 5, 14, 7, 9), false},
      {"20130305_140709,045", at(2013, 3, 5, 14, 7, 9, 45), false},
      {"20130305T140709.045!", at(2013, 3, 5, 14, 7, 9, 45), true},
      // Milliseconds alone make no time, so even impossible ones pass.
      {"20130305T000000.500", at(2013, 3, 5), false},
      {"20130305T000000.-01", at(2013, 3, 5), false},
      {"201303 5", at(2013, 3, 5), false},
      {"+2010305", at(201, 3, 5), false},
      {"2x  0305", at(2, 3, 5), false},
      {"20130305T+1+2+3", at(2013, 3, 5, 1, 2, 3), false},
      {std::string("2013031\0", 8), at(2013, 3, 1), false},  // "1\0" reads as 1
  };
  for (const auto& [text, value, gmt] : cases) {
    SCOPED_TRACE(text);
    Parsable wide;
    EXPECT_TRUE(wide.parseDateTime(CStringHelper::fromANSI(text)));
    std::vector<CDateTime> read{CDateTime(text), wide};
    if (text.find('\0') == std::string::npos) {  // the narrow form would end there
      read.push_back(CDateTime::CDateTimeFromString(CStringHelper::fromANSI(text)));
    }
    for (const CDateTime& r : read) {
      EXPECT_EQ(value, r);
      EXPECT_EQ(gmt, r.isGMTTime());
    }
  }
}

TEST(DateTimeRead, DateReplacesTheValueTimeAloneOnlyTheTimeOfDay) {
  Parsable value(at(2010, 1, 1, 10, 11, 12, 13));
  value.encodeDateUsingDashes(true);
  ASSERT_TRUE(value.parseDateTime(L"20130305"));
  EXPECT_EQ(at(2013, 3, 5), value);
  EXPECT_TRUE(value.isEncodeDateUsingDashes());
  // A date with any zero field is no date at all.
  ASSERT_TRUE(value.parseDateTime(L"00000000T140709"));
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), value);
  ASSERT_TRUE(value.parseDateTime(L"20130005T010203.004"));
  EXPECT_EQ(at(2013, 3, 5, 1, 2, 3, 4), value);
  // On the default value the result holds a time but still no date.
  const CDateTime timeOnly("00000000T140709");
  EXPECT_FALSE(timeOnly.isValid());
  EXPECT_EQ(((14u * 60 + 7) * 60 + 9) * 1000, timeOnly.getms());
  // A dashed text leaves the dashes flag clear.
  EXPECT_FALSE(CDateTime("2013-03-05").isEncodeDateUsingDashes());
}

// The message is the whole text, as the ANSI page gives it.
TEST(DateTimeRead, ImpossibleTextsFailWithTheTextAsMessage) {
  std::string longText(10000, '1');
  longText.replace(0, 8, "20130305");
  for (const std::string& text : std::initializer_list<std::string>{
           "20130230", "20131305", "00000000", "20130305T240000", "20130305T006000",
           "20130305T000060", "2013-3-5", "", "2013030", "201303051", "20130305T14070",
           "20130305T140709.45", "20130305T140709.045ZZ", "19000229", "00000305", "0000-00-00",
           // A negative field is a large unsigned number; a lone sign is 0.
           "-0130305", "2013-1-5", "20130305T-10000", "    0305", "2013+-05", "20130305T000001.-01",
           std::string("2013030\0", 8), std::string(20, '\0'), "2013030\xB2", longText}) {
    EXPECT_EQ(CStringHelper::fromANSI(text), rejection(text)) << text;
    Parsable value;
    EXPECT_FALSE(value.parseDateTime(CStringHelper::fromANSI(text))) << text;
  }
  // 0xB2 is superscript two in Windows-1252: no digit.
  EXPECT_EQ(L"2013030\u00B2", rejection("2013030\xB2"));
  EXPECT_EQ(8u, rejection(std::string("2013030\0", 8)).size());
}

// A recognised length sets the zone before the fields are judged; any other
// length fails before anything changes.  Each text with the zone it leaves:
TEST(DateTimeRead, FailureLeavesTheValueButNotTheZone) {
  Parsable value(at(2013, 3, 5, 14, 7, 9));
  const std::pair<std::wstring, bool> steps[] = {
      {L"20131305T140709Z", true},       {L"20131305T140709", false},
      {std::wstring(16, L'\0'), true},   {L"201303051", true},
      {std::wstring(10000, L'9'), true}, {L"2013030512", false}};  // the dashed length, month 30
  for (const auto& [text, gmt] : steps) {
    EXPECT_FALSE(value.parseDateTime(text)) << text.size();
    EXPECT_EQ(gmt, value.isGMTTime()) << text.size();
    EXPECT_EQ(at(2013, 3, 5, 14, 7, 9), value) << text.size();
  }
}

// Every form of DateTimeRead reads through it as well.
TEST(DateTimeFromString, WideTextGoesThroughTheAnsiPage) {
  // What the page cannot hold becomes '?', in the message as well.
  const auto message = [](const std::wstring& text) {
    return qel_test::messageOf<InvalidDateException>([&] { CDateTime::CDateTimeFromString(text); });
  };
  EXPECT_EQ(L"2013?0305", message(L"2013\u4E2D0305"));
  EXPECT_EQ(L"2013-02-30", message(L"2013-02-30"));
  EXPECT_EQ(L"InvalidDateException: 2013-02-30", InvalidDateException(L"2013-02-30").toString());
  // The narrow form ends at the first NUL of the wide text.
  EXPECT_EQ(at(2013, 3, 5), CDateTime::CDateTimeFromString(std::wstring(L"20130305\0garbage", 16)));
}

TEST(DateTimeText, FollowsAnAnsiPageThatIsNotAscii) {
  // IBM037 (EBCDIC): the digits are 0xF0 to 0xF9.
  if (!qel::CWin32Helper::setAnsiCodePage(37)) {
    GTEST_SKIP() << "the C library does not know IBM037";
  }
  const std::string ebcdic = at(2013, 3, 5).toByteString(true);
  const std::string text = "\xF2\xF0\xF1\xF3\xF0\xF3\xF0\xF5";
  const std::wstring message = rejection(text);
  const CDateTime read = message == L"<nothing thrown>" ? CDateTime(text) : CDateTime();
  qel::CWin32Helper::setAnsiCodePage(1252);
  EXPECT_EQ(text, ebcdic);
  EXPECT_EQ(L"<nothing thrown>", message);
  EXPECT_EQ(at(2013, 3, 5), read);
}

// In a double-byte page a date is read from its characters: 82 54 is one,
// a fullwidth five, and no digit.
TEST(DateTimeText, FollowsADoubleByteAnsiPage) {
  ASSERT_TRUE(qel::CWin32Helper::setAnsiCodePage(932));
  const std::wstring plain = rejection("20130305T101500Z");
  const std::wstring fullwidth = rejection("201303\x82\x54");
  qel::CWin32Helper::setAnsiCodePage(1252);
  EXPECT_EQ(L"<nothing thrown>", plain);
  EXPECT_EQ(L"201303\uFF15", fullwidth);
}
