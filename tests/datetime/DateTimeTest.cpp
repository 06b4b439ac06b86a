#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qel/core/Exception.h"
#include "qel/datetime/DateTime.h"
#include "support/Thrown.h"

using qel::CDateTime;
using qel::InvalidDateException;

namespace {

struct Fields {
  unsigned short year, month, day, dayOfWeek;
};

Fields dateOf(const CDateTime& value) {
  Fields f{};
  value.getDate(f.year, f.month, f.day, f.dayOfWeek);
  return f;
}

std::string timeOf(const CDateTime& value) {
  unsigned short h, mi, s, ms;
  value.getTime(h, mi, s, ms);
  return std::to_string(h) + ":" + std::to_string(mi) + ":" + std::to_string(s) + "." +
         std::to_string(ms);
}

CDateTime at(unsigned short y, unsigned short mo, unsigned short d, unsigned short h = 0,
             unsigned short mi = 0, unsigned short s = 0, unsigned short ms = 0) {
  return CDateTime(y, mo, d, h, mi, s, ms);
}

CDateTime raw(std::uint32_t jd, std::uint32_t ms) {
  CDateTime value;
  value.setJD(jd);
  value.setms(ms);
  return value;
}

constexpr std::int64_t kMsPerDay = 86400000;

// Reads the low 32 bits of x as a two's-complement number.
std::int64_t wrap32(std::int64_t x) {
  const std::uint64_t low = static_cast<std::uint64_t>(x) & 0xFFFFFFFFu;
  return low >= 0x80000000u ? static_cast<std::int64_t>(low) - 0x100000000LL
                            : static_cast<std::int64_t>(low);
}

}  // namespace

// Every day of the calendar is checked by the walk in DateTimeCalendar; these
// are the edges, and the constructors refuse what the checks refuse.
TEST(DateTimeValidation, LeapYearsDatesAndTimes) {
  for (unsigned short year : {2000, 2004, 1600}) {
    EXPECT_TRUE(CDateTime::IsLeapYear(year)) << year;
  }
  for (unsigned short year : {1900, 2100, 2001}) {
    EXPECT_FALSE(CDateTime::IsLeapYear(year)) << year;
  }
  const struct {
    unsigned short y, m, d;
    bool valid;
  } dates[] = {{2000, 2, 29, true},
               {1900, 2, 29, false},
               {2013, 2, 30, false},
               {2013, 4, 31, false},
               {2013, 1, 0, false},
               {2013, 1, 32, false},
               {2013, 0, 1, false},
               {2013, 13, 1, false},
               {0, 1, 1, false},
               {1, 1, 1, true},
               {9999, 12, 31, true},
               {10000, 1, 1, false},
               {65535, 65535, 65535, false}};
  for (const auto& c : dates) {
    SCOPED_TRACE(std::to_string(c.y) + "-" + std::to_string(c.m) + "-" + std::to_string(c.d));
    EXPECT_EQ(c.valid, CDateTime::IsValidDate(c.y, c.m, c.d));
    EXPECT_EQ(c.valid ? L"<nothing thrown>" : L"",
              qel_test::messageOf<InvalidDateException>([&] { CDateTime(c.y, c.m, c.d); }));
    EXPECT_EQ(c.valid, qel_test::messageOf<InvalidDateException>([&] { at(c.y, c.m, c.d, 12); }) ==
                           L"<nothing thrown>");
  }
  const struct {
    unsigned short h, mi, s, ms;
    bool valid;
  } times[] = {{0, 0, 0, 0, true},   {23, 59, 59, 999, true}, {24, 0, 0, 0, false},
               {0, 60, 0, 0, false}, {0, 0, 60, 0, false},    {0, 0, 0, 1000, false}};
  for (const auto& c : times) {
    SCOPED_TRACE(std::to_string(c.h) + ":" + std::to_string(c.mi) + ":" + std::to_string(c.s));
    EXPECT_EQ(c.valid, CDateTime::IsValidTime(c.h, c.mi, c.s, c.ms));
    EXPECT_EQ(c.valid, qel_test::messageOf<InvalidDateException>(
                           [&] { at(2013, 3, 5, c.h, c.mi, c.s, c.ms); }) == L"<nothing thrown>");
  }
}

TEST(DateTimeConstruction, DefaultValueIsDayZeroWithClearFlags) {
  const CDateTime value;
  EXPECT_FALSE(value.isValid());
  EXPECT_EQ(0u, value.getJD());
  EXPECT_EQ(0u, value.getms());
  EXPECT_FALSE(value.isGMTTime());
  EXPECT_FALSE(value.isEncodeDateUsingDashes());
  // Julian day 0 is 24 November 4714 BC (year -4713) in the proleptic
  // Gregorian calendar; the year arrives as its 16-bit pattern.
  const Fields f = dateOf(value);
  EXPECT_EQ(60823, f.year);
  EXPECT_EQ(11, f.month);
  EXPECT_EQ(24, f.day);
  // Fields are kept as a day number and milliseconds.
  EXPECT_EQ(2451545u, at(2000, 1, 1, 23, 59, 59, 999).getJD());
  EXPECT_EQ(86399999u, at(2000, 1, 1, 23, 59, 59, 999).getms());
  EXPECT_EQ("23:59:59.999", timeOf(at(2000, 1, 1, 23, 59, 59, 999)));
}

TEST(DateTimeFields, SettersChangeTheirHalfFailedOnesNothingFlagsAreCopied) {
  CDateTime value = at(2013, 3, 5, 14, 7, 9, 45);
  value.forceGMT(true);
  value.setDate(2014, 6, 30);
  EXPECT_EQ(at(2014, 6, 30, 14, 7, 9, 45), value);
  value.setTime(1, 2, 3, 4);
  EXPECT_EQ(at(2014, 6, 30, 1, 2, 3, 4), value);
  EXPECT_EQ(((1u * 60 + 2) * 60 + 3) * 1000 + 4, value.getms());
  EXPECT_THROW(value.setDate(2013, 2, 29), InvalidDateException);
  EXPECT_THROW(value.setTime(24, 0, 0, 0), InvalidDateException);
  EXPECT_THROW(value.setTime(0, 0, 0, 1000), InvalidDateException);
  EXPECT_EQ(at(2014, 6, 30, 1, 2, 3, 4), value);
  EXPECT_TRUE(value.isGMTTime());
  EXPECT_FALSE(value.isEncodeDateUsingDashes());
  value.encodeDateUsingDashes(true);
  CDateTime copy;
  copy = value;
  EXPECT_TRUE(copy.isGMTTime());
  EXPECT_TRUE(copy.isEncodeDateUsingDashes());
  value.forceGMT(false);
  EXPECT_TRUE(value.isEncodeDateUsingDashes());
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

TEST(DateTimeAdjust, AcrossDayMonthYearAndLeapDayEndsBothWays) {
  const struct {
    CDateTime start;
    short d, h, mi, s, ms;
    CDateTime expected;
  } cases[] = {{at(2000, 3, 1), 0, 0, 0, 0, -1, at(2000, 2, 29, 23, 59, 59, 999)},
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
               // 600 hours is 2,160,000,000 ms, past the largest 32-bit count: it reads
               // as -2,134,967,296 ms, 24 days and 61,367,296 ms back.
               {at(2013, 3, 5), 0, 600, 0, 0, 0, at(2013, 2, 8, 6, 57, 12, 704)}};
  for (const auto& c : cases) {
    CDateTime value = c.start;
    value.forceGMT(true);
    value.encodeDateUsingDashes(true);
    value.adjust(c.d, c.h, c.mi, c.s, c.ms);
    EXPECT_EQ(c.expected, value) << c.start.toByteString(true) << " " << c.d << " " << c.h << " "
                                 << c.mi << " " << c.s << " " << c.ms;
    EXPECT_TRUE(value.isGMTTime() && value.isEncodeDateUsingDashes());
  }
}

// An independent model of the shift: exact 64-bit arithmetic, with the time
// part cut to 32 bits as a 32-bit count of milliseconds holds it.
TEST(DateTimeAdjust, LargeArgumentsMatchWrappedThirtyTwoBitTimePart) {
  const short edges[] = {-32768, -32767, -1000, -25, -1, 0, 1, 24, 596, 597, 1000, 32767};
  const short few[] = {-32768, 0, 999, 32767};
  for (const CDateTime& start : {at(1, 1, 1), at(2000, 2, 29, 23, 59, 59, 999), at(9999, 12, 31)}) {
    for (short d : edges) {
      for (short h : edges) {
        for (short mi : edges) {
          for (short s : few) {
            for (short ms : few) {
              CDateTime value = start;
              value.adjust(d, h, mi, s, ms);
              const std::int64_t total =
                  (static_cast<std::int64_t>(start.getJD()) + d) * kMsPerDay + start.getms() +
                  wrap32(((static_cast<std::int64_t>(h) * 60 + mi) * 60 + s) * 1000 + ms);
              ASSERT_GE(total, 0);
              EXPECT_EQ(static_cast<std::uint32_t>(total / kMsPerDay), value.getJD())
                  << d << " " << h << " " << mi << " " << s << " " << ms;
              EXPECT_EQ(static_cast<std::uint32_t>(total % kMsPerDay), value.getms());
            }
          }
        }
      }
    }
  }
  CDateTime value = at(2013, 3, 5);
  EXPECT_NO_THROW(value.adjust(32767, 32767, 32767, 32767, 32767));
}

// Raw values: the stored milliseconds read as a signed 32-bit number plus the
// remainder of the time part, one carry either way, the day number wrapping.
TEST(DateTimeAdjust, RawValuesWrapWithoutTrapping) {
  const std::uint32_t raws[] = {0u,          1u,          86399999u,   86400000u,
                                0x7FFFFFFFu, 0x80000000u, 0xFADA7FFFu, 0xFFFFFFFFu};
  for (std::uint32_t jd : raws) {
    for (std::uint32_t ms : raws) {
      for (short shift : {-32768, -1, 1, 32767}) {
        CDateTime value = raw(jd, ms);
        value.adjust(shift, shift, shift, shift, shift);
        const std::int64_t delta =
            wrap32(((static_cast<std::int64_t>(shift) * 60 + shift) * 60 + shift) * 1000 + shift);
        std::int64_t days = shift + delta / kMsPerDay;
        std::int64_t newMs = wrap32(wrap32(ms) + delta % kMsPerDay);
        days += newMs < 0 ? -1 : newMs >= kMsPerDay ? 1 : 0;
        newMs += newMs < 0 ? kMsPerDay : newMs >= kMsPerDay ? -kMsPerDay : 0;
        EXPECT_EQ(static_cast<std::uint32_t>(newMs), value.getms())
            << jd << " " << ms << " " << shift;
        EXPECT_EQ(jd + static_cast<std::uint32_t>(days), value.getJD()) << jd << " " << ms;
      }
    }
  }
}

// Raw Julian day numbers that no valid date has go through the inverse
// conversion as signed 32-bit arithmetic with two's-complement wrap.  The
// model computes in 64 bits and cuts every intermediate to 32.
TEST(DateTimeRaw, GetDateOfAnyNumberIsTheWrappedArithmetic) {
  const auto check = [](std::uint32_t number) {
    const std::int64_t jd = wrap32(number);
    std::int64_t l = wrap32(jd + 68569);
    const std::int64_t n = wrap32(4 * l) / 146097;
    l = wrap32(l - wrap32(wrap32(146097 * n) + 3) / 4);
    const std::int64_t i = wrap32(4000 * wrap32(l + 1)) / 1461001;
    l = wrap32(wrap32(l - wrap32(1461 * i) / 4) + 31);
    const std::int64_t j = wrap32(80 * l) / 2447;
    const std::int64_t day = wrap32(l - wrap32(2447 * j) / 80);
    l = j / 11;
    const std::int64_t month = wrap32(j + 2 - wrap32(12 * l));
    const std::int64_t year = wrap32(wrap32(wrap32(100 * (n - 49)) + i) + l);
    const Fields f = dateOf(raw(number, 0));
    EXPECT_EQ(static_cast<unsigned short>(year), f.year) << number;
    EXPECT_EQ(static_cast<unsigned short>(month), f.month) << number;
    EXPECT_EQ(static_cast<unsigned short>(day), f.day) << number;
    EXPECT_EQ(static_cast<unsigned short>(wrap32(jd + 1) % 7), f.dayOfWeek) << number;
  };
  for (std::uint32_t number : {0u, 1u, 1721425u, 5373485u, 0x7FFEF000u, 0x7FFFFFFFu, 0x80000000u,
                               0xFFFEF000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    check(number);
  }
  for (std::uint64_t number = 0; number <= 0xFFFFFFFFu; number += 65537) {
    check(static_cast<std::uint32_t>(number));
  }
}

TEST(DateTimeRaw, GetTimeOfAnyMillisecondsDividesUnsigned) {
  EXPECT_EQ("1193:2:47.295", timeOf(raw(1, 0xFFFFFFFFu)));
  EXPECT_EQ("24:0:0.0", timeOf(raw(1, 86400000u)));  // one whole day reads as hour 24
}

TEST(DateTimeClock, SystemTimeIsUtcAndNowLocalTimeFollowsTheZone) {
  using namespace std::chrono;
  const auto dayNumber = [] {
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return std::int64_t{2440588} + ms / kMsPerDay;  // 1 January 1970 is day 2,440,588
  };
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  ::setenv("TZ", "QEL-5", 1);  // five hours east of UTC, no daylight saving
  const std::int64_t before = dayNumber();
  const CDateTime utc = CDateTime::GetSystemTime();
  const std::int64_t after = dayNumber();
  const CDateTime local = CDateTime::GetLocalTime();
  old != nullptr ? ::setenv("TZ", saved.c_str(), 1) : ::unsetenv("TZ");
  EXPECT_TRUE(utc.isGMTTime() && utc.isValid() && !utc.isEncodeDateUsingDashes());
  EXPECT_GE(static_cast<std::int64_t>(utc.getJD()), before);
  EXPECT_LE(static_cast<std::int64_t>(utc.getJD()), after);
  EXPECT_LT(utc.getms(), 86400000u);
  EXPECT_TRUE(!local.isGMTTime() && local.isValid());
  const auto msOf = [](const CDateTime& v) {
    return static_cast<std::int64_t>(v.getJD()) * kMsPerDay + v.getms();
  };
  // Five hours apart, give or take the moment between the two readings.
  EXPECT_NEAR(5.0 * 3600000.0, static_cast<double>(msOf(local) - msOf(utc)), 60000.0);
}
