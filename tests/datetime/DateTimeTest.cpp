#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "qel/core/Exception.h"
#include "qel/datetime/DateTime.h"

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

struct Clock {
  unsigned short hour, minute, second, millisecond;
};

Clock timeOf(const CDateTime& value) {
  Clock c{};
  value.getTime(c.hour, c.minute, c.second, c.millisecond);
  return c;
}

CDateTime at(unsigned short y, unsigned short mo, unsigned short d, unsigned short h,
             unsigned short mi, unsigned short s = 0, unsigned short ms = 0) {
  return CDateTime(y, mo, d, h, mi, s, ms);
}

constexpr std::int64_t kMsPerDay = 86400000;

// Reads the low 32 bits of x as a two's-complement number.
std::int64_t wrap32(std::int64_t x) {
  const std::uint64_t low = static_cast<std::uint64_t>(x) & 0xFFFFFFFFu;
  return low >= 0x80000000u ? static_cast<std::int64_t>(low) - 0x100000000LL
                            : static_cast<std::int64_t>(low);
}

}  // namespace

TEST(DateTimeValidation, LeapYearsFollowTheGregorianRule) {
  EXPECT_TRUE(CDateTime::IsLeapYear(2000));
  EXPECT_TRUE(CDateTime::IsLeapYear(2004));
  EXPECT_TRUE(CDateTime::IsLeapYear(1600));
  EXPECT_FALSE(CDateTime::IsLeapYear(1900));
  EXPECT_FALSE(CDateTime::IsLeapYear(2100));
  EXPECT_FALSE(CDateTime::IsLeapYear(2001));
}

TEST(DateTimeValidation, DatesOutsideTheCalendarAreRejected) {
  EXPECT_TRUE(CDateTime::IsValidDate(2000, 2, 29));
  EXPECT_FALSE(CDateTime::IsValidDate(1900, 2, 29));
  EXPECT_TRUE(CDateTime::IsValidDate(2004, 2, 29));
  EXPECT_FALSE(CDateTime::IsValidDate(2013, 2, 30));
  EXPECT_FALSE(CDateTime::IsValidDate(2013, 4, 31));
  EXPECT_TRUE(CDateTime::IsValidDate(2013, 12, 31));
  EXPECT_FALSE(CDateTime::IsValidDate(2013, 1, 0));
  EXPECT_FALSE(CDateTime::IsValidDate(2013, 1, 32));
  EXPECT_FALSE(CDateTime::IsValidDate(2013, 0, 1));
  EXPECT_FALSE(CDateTime::IsValidDate(2013, 13, 1));
  EXPECT_FALSE(CDateTime::IsValidDate(0, 1, 1));
  EXPECT_TRUE(CDateTime::IsValidDate(1, 1, 1));
  EXPECT_TRUE(CDateTime::IsValidDate(9999, 12, 31));
  EXPECT_FALSE(CDateTime::IsValidDate(10000, 1, 1));
  EXPECT_FALSE(CDateTime::IsValidDate(65535, 65535, 65535));
}

TEST(DateTimeValidation, TimesOutsideTheDayAreRejected) {
  EXPECT_TRUE(CDateTime::IsValidTime(0, 0, 0, 0));
  EXPECT_TRUE(CDateTime::IsValidTime(23, 59, 59, 999));
  EXPECT_FALSE(CDateTime::IsValidTime(24, 0, 0, 0));
  EXPECT_FALSE(CDateTime::IsValidTime(0, 60, 0, 0));
  EXPECT_FALSE(CDateTime::IsValidTime(0, 0, 60, 0));
  EXPECT_FALSE(CDateTime::IsValidTime(0, 0, 0, 1000));
}

TEST(DateTimeConstruction, DefaultValueIsInvalidWithClearFlags) {
  const CDateTime value;
  EXPECT_FALSE(value.isValid());
  EXPECT_EQ(0u, value.getJD());
  EXPECT_EQ(0u, value.getms());
  EXPECT_FALSE(value.isGMTTime());
  EXPECT_FALSE(value.isEncodeDateUsingDashes());
  // Julian day 0 is 24 November 4714 BC (year -4713) in the proleptic
  // Gregorian calendar; the year arrives as its 16-bit pattern.
  const Fields f = dateOf(value);
  EXPECT_EQ(static_cast<unsigned short>(-4713), f.year);
  EXPECT_EQ(60823, f.year);
  EXPECT_EQ(11, f.month);
  EXPECT_EQ(24, f.day);
}

TEST(DateTimeConstruction, ImpossibleFieldsThrowAndProduceNoValue) {
  EXPECT_THROW(CDateTime(1900, 2, 29), InvalidDateException);
  EXPECT_THROW(CDateTime(2013, 2, 30), InvalidDateException);
  EXPECT_THROW(CDateTime(2013, 0, 1), InvalidDateException);
  EXPECT_THROW(CDateTime(2013, 13, 1), InvalidDateException);
  EXPECT_THROW(CDateTime(0, 1, 1), InvalidDateException);
  EXPECT_THROW(CDateTime(10000, 1, 1), InvalidDateException);
  EXPECT_THROW(CDateTime(2013, 1, 32), InvalidDateException);
  EXPECT_THROW(at(2013, 3, 5, 24, 0), InvalidDateException);
  EXPECT_THROW(at(2013, 3, 5, 0, 0, 0, 1000), InvalidDateException);
  EXPECT_THROW(at(2013, 2, 29, 12, 0), InvalidDateException);
  try {
    CDateTime(2013, 2, 30);
    FAIL() << "no exception";
  } catch (const InvalidDateException& e) {
    EXPECT_EQ(L"", e.getMessage());
  }
}

TEST(DateTimeConstruction, FieldsAreStoredAsDayNumberAndMilliseconds) {
  const CDateTime value = at(2000, 1, 1, 23, 59, 59, 999);
  EXPECT_EQ(2451545u, value.getJD());
  EXPECT_EQ(86399999u, value.getms());
  EXPECT_FALSE(value.isGMTTime());
  const CDateTime midnight(2000, 1, 1);
  EXPECT_EQ(0u, midnight.getms());
}

TEST(DateTimeFields, KnownDaysAndWeekdays) {
  CDateTime value;
  value.setDate(2000, 1, 1);
  EXPECT_EQ(2451545u, value.getJD());
  Fields f = dateOf(value);
  EXPECT_EQ(2000, f.year);
  EXPECT_EQ(1, f.month);
  EXPECT_EQ(1, f.day);
  EXPECT_EQ(6, f.dayOfWeek);  // Saturday

  value.setDate(1970, 1, 1);
  EXPECT_EQ(2440588u, value.getJD());
  f = dateOf(value);
  EXPECT_EQ(4, f.dayOfWeek);  // Thursday

  EXPECT_EQ(1721426u, CDateTime(1, 1, 1).getJD());
  EXPECT_EQ(5373484u, CDateTime(9999, 12, 31).getJD());
  // Leap days sit between their neighbours.
  EXPECT_EQ(CDateTime(2000, 2, 28).getJD() + 1, CDateTime(2000, 2, 29).getJD());
  EXPECT_EQ(CDateTime(2000, 2, 29).getJD() + 1, CDateTime(2000, 3, 1).getJD());
  EXPECT_EQ(CDateTime(1900, 2, 28).getJD() + 1, CDateTime(1900, 3, 1).getJD());
  EXPECT_EQ(CDateTime(2004, 2, 28).getJD() + 2, CDateTime(2004, 3, 1).getJD());
}

TEST(DateTimeFields, SetDateAndSetTimeKeepTheOtherHalf) {
  CDateTime value = at(2013, 3, 5, 14, 7, 9, 45);
  value.setDate(2014, 6, 30);
  EXPECT_EQ(at(2014, 6, 30, 14, 7, 9, 45), value);
  value.setTime(1, 2, 3, 4);
  EXPECT_EQ(at(2014, 6, 30, 1, 2, 3, 4), value);
  EXPECT_EQ(((1u * 60 + 2) * 60 + 3) * 1000 + 4, value.getms());
}

TEST(DateTimeFields, FailedSettersChangeNothing) {
  CDateTime value = at(2013, 3, 5, 14, 7, 9, 45);
  value.forceGMT(true);
  EXPECT_THROW(value.setDate(2013, 2, 29), InvalidDateException);
  EXPECT_THROW(value.setTime(24, 0, 0, 0), InvalidDateException);
  EXPECT_THROW(value.setTime(0, 0, 0, 1000), InvalidDateException);
  EXPECT_EQ(at(2013, 3, 5, 14, 7, 9, 45), value);
  EXPECT_TRUE(value.isGMTTime());
}

TEST(DateTimeFields, SetTimeLastMillisecondOfTheDay) {
  CDateTime value(2013, 3, 5);
  value.setTime(23, 59, 59, 999);
  EXPECT_EQ(86399999u, value.getms());
  const Clock c = timeOf(value);
  EXPECT_EQ(23, c.hour);
  EXPECT_EQ(59, c.minute);
  EXPECT_EQ(59, c.second);
  EXPECT_EQ(999, c.millisecond);
}

TEST(DateTimeFields, FlagsAreIndependentAndCopied) {
  CDateTime value(2013, 3, 5);
  value.forceGMT(true);
  EXPECT_TRUE(value.isGMTTime());
  EXPECT_FALSE(value.isEncodeDateUsingDashes());
  value.encodeDateUsingDashes(true);
  CDateTime copy;
  copy = value;
  EXPECT_TRUE(copy.isGMTTime());
  EXPECT_TRUE(copy.isEncodeDateUsingDashes());
  EXPECT_EQ(value.getJD(), copy.getJD());
  value.forceGMT(false);
  EXPECT_FALSE(value.isGMTTime());
  EXPECT_TRUE(value.isEncodeDateUsingDashes());
}

TEST(DateTimeComparison, FlagsTakeNoPart) {
  CDateTime utc = at(2013, 3, 5, 14, 7);
  utc.forceGMT(true);
  CDateTime local = at(2013, 3, 5, 14, 7);
  local.encodeDateUsingDashes(true);
  EXPECT_TRUE(utc == local);
  EXPECT_FALSE(utc != local);
  EXPECT_TRUE(utc <= local);
  EXPECT_TRUE(utc >= local);
  EXPECT_FALSE(utc < local);
  EXPECT_FALSE(utc > local);
}

TEST(DateTimeComparison, DayDecidesBeforeTime) {
  const CDateTime earlyNextDay = at(2013, 3, 6, 0, 0);
  const CDateTime lateDay = at(2013, 3, 5, 23, 59, 59, 999);
  EXPECT_TRUE(lateDay < earlyNextDay);
  EXPECT_TRUE(earlyNextDay > lateDay);
  EXPECT_TRUE(lateDay <= earlyNextDay);
  EXPECT_FALSE(lateDay >= earlyNextDay);
  EXPECT_TRUE(at(2013, 3, 5, 1, 0) < at(2013, 3, 5, 2, 0));
  EXPECT_TRUE(CDateTime() < CDateTime(1, 1, 1));
  EXPECT_TRUE(CDateTime() != CDateTime(1, 1, 1));
}

TEST(DateTimeComparison, RawNumbersCompareUnsigned) {
  CDateTime high;
  high.setJD(0x80000000u);
  CDateTime low;
  low.setJD(1);
  EXPECT_TRUE(low < high);
  CDateTime msHigh(2013, 3, 5);
  msHigh.setms(0xFFFFFFFFu);
  EXPECT_TRUE(CDateTime(2013, 3, 5) < msHigh);
  EXPECT_TRUE(msHigh < CDateTime(2013, 3, 6));
}

TEST(DateTimeAdjust, MillisecondBackAcrossLeapDay) {
  CDateTime value(2000, 3, 1);
  value.adjust(0, 0, 0, 0, -1);
  EXPECT_EQ(at(2000, 2, 29, 23, 59, 59, 999), value);
}

TEST(DateTimeAdjust, HoursAcrossMidnightBothWays) {
  CDateTime value = at(2013, 3, 5, 23, 0);
  value.adjust(0, 2, 0, 0, 0);
  EXPECT_EQ(at(2013, 3, 6, 1, 0), value);

  CDateTime back(2013, 3, 5);
  back.adjust(0, -25, 0, 0, 0);
  EXPECT_EQ(at(2013, 3, 3, 23, 0), back);
}

TEST(DateTimeAdjust, MonthAndYearEndsBothWays) {
  CDateTime value = at(2013, 12, 31, 23, 59, 59, 999);
  value.adjust(0, 0, 0, 0, 1);
  EXPECT_EQ(CDateTime(2014, 1, 1), value);
  value.adjust(0, 0, 0, 0, -1);
  EXPECT_EQ(at(2013, 12, 31, 23, 59, 59, 999), value);

  CDateTime endOfApril = at(2013, 4, 30, 12, 0);
  endOfApril.adjust(1, 0, 0, 0, 0);
  EXPECT_EQ(at(2013, 5, 1, 12, 0), endOfApril);
  endOfApril.adjust(-1, -12, 0, 0, 0);
  EXPECT_EQ(CDateTime(2013, 4, 30), endOfApril);

  CDateTime feb(1900, 2, 28);
  feb.adjust(0, 0, 24 * 60, 0, 0);
  EXPECT_EQ(CDateTime(1900, 3, 1), feb);
  CDateTime leapFeb(2004, 2, 28);
  leapFeb.adjust(0, 0, 0, 20864, 0);
  EXPECT_EQ(at(2004, 2, 28, 5, 47, 44), leapFeb);
  leapFeb.adjust(1, 0, 0, 0, 0);
  EXPECT_EQ(at(2004, 2, 29, 5, 47, 44), leapFeb);
  leapFeb.adjust(366, 0, 0, 0, 0);
  EXPECT_EQ(at(2005, 3, 1, 5, 47, 44), leapFeb);
}

TEST(DateTimeAdjust, KeepsFlagsAndNeverThrows) {
  CDateTime value(2013, 3, 5);
  value.forceGMT(true);
  value.encodeDateUsingDashes(true);
  EXPECT_NO_THROW(value.adjust(32767, 32767, 32767, 32767, 32767));
  EXPECT_TRUE(value.isGMTTime());
  EXPECT_TRUE(value.isEncodeDateUsingDashes());
}

// An independent model of the shift: exact 64-bit arithmetic, with the
// time part cut to 32 bits as a 32-bit count of milliseconds holds it.
TEST(DateTimeAdjust, LargeArgumentsMatchWrappedThirtyTwoBitTimePart) {
  const short edges[] = {-32768, -32767, -1000, -25, -1, 0, 1, 24, 596, 597, 1000, 32767};
  const CDateTime starts[] = {CDateTime(1, 1, 1), at(2000, 2, 29, 23, 59, 59, 999),
                              CDateTime(9999, 12, 31)};
  for (const CDateTime& start : starts) {
    for (short d : edges) {
      for (short h : edges) {
        for (short mi : edges) {
          for (short s :
               {static_cast<short>(-32768), static_cast<short>(0), static_cast<short>(32767)}) {
            for (short ms : {static_cast<short>(-32768), static_cast<short>(0),
                             static_cast<short>(999), static_cast<short>(32767)}) {
              CDateTime value = start;
              value.adjust(d, h, mi, s, ms);
              const std::int64_t delta =
                  wrap32(((static_cast<std::int64_t>(h) * 60 + mi) * 60 + s) * 1000 + ms);
              const std::int64_t total = static_cast<std::int64_t>(start.getJD()) * kMsPerDay +
                                         start.getms() + delta +
                                         static_cast<std::int64_t>(d) * kMsPerDay;
              const std::int64_t day = total >= 0 ? total / kMsPerDay : -1;
              ASSERT_GE(total, 0);
              EXPECT_EQ(static_cast<std::uint32_t>(day), value.getJD())
                  << d << " " << h << " " << mi << " " << s << " " << ms;
              EXPECT_EQ(static_cast<std::uint32_t>(total % kMsPerDay), value.getms());
            }
          }
        }
      }
    }
  }
}

TEST(DateTimeAdjust, TimePartOverTwentyFourDaysWraps) {
  // 600 hours is 2,160,000,000 ms, past the largest 32-bit count: it reads as
  // 2,160,000,000 - 2^32 = -2,134,967,296 ms, i.e. 24 days and 61,367,296 ms
  // back.  From midnight that is 25 days back at 25,032,704 ms (06:57:12.704).
  CDateTime value(2013, 3, 5);
  value.adjust(0, 600, 0, 0, 0);
  CDateTime expected(2013, 2, 8);
  expected.setTime(6, 57, 12, 704);
  EXPECT_EQ(expected, value);
}

TEST(DateTimeAdjust, RawValuesWrapWithoutTrapping) {
  const std::uint32_t raws[] = {0u,          1u,          86399999u,   86400000u,
                                0x7FFFFFFFu, 0x80000000u, 0xFADA7FFFu, 0xFFFFFFFFu};
  for (std::uint32_t jd : raws) {
    for (std::uint32_t ms : raws) {
      for (short shift : {static_cast<short>(-32768), static_cast<short>(-1), static_cast<short>(1),
                          static_cast<short>(32767)}) {
        CDateTime value;
        value.setJD(jd);
        value.setms(ms);
        value.adjust(shift, shift, shift, shift, shift);
        // Model: the stored milliseconds read as a signed 32-bit number plus
        // the remainder of the time part, one carry either way.
        const std::int64_t delta =
            wrap32(((static_cast<std::int64_t>(shift) * 60 + shift) * 60 + shift) * 1000 + shift);
        const std::int64_t whole = delta / kMsPerDay;
        std::int64_t days = shift + whole;
        std::int64_t newMs = wrap32(wrap32(ms) + (delta - whole * kMsPerDay));
        if (newMs < 0) {
          --days;
          newMs += kMsPerDay;
        }
        if (newMs >= kMsPerDay) {
          ++days;
          newMs -= kMsPerDay;
        }
        EXPECT_EQ(static_cast<std::uint32_t>(newMs), value.getms());
        EXPECT_EQ(static_cast<std::uint32_t>(jd + static_cast<std::uint32_t>(days)), value.getJD());
      }
    }
  }
}

// Raw Julian day numbers that no valid date has go through the inverse
// conversion as signed 32-bit arithmetic with two's-complement wrap.  The
// model computes in 64 bits and cuts every intermediate to 32.
TEST(DateTimeRaw, GetDateOfAnyNumberIsTheWrappedArithmetic) {
  auto check = [](std::uint32_t raw) {
    const std::int64_t jd = wrap32(raw);
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
    const std::int64_t dow = wrap32(jd + 1) % 7;

    CDateTime value;
    value.setJD(raw);
    const Fields f = dateOf(value);
    EXPECT_EQ(static_cast<unsigned short>(year & 0xFFFF), f.year) << raw;
    EXPECT_EQ(static_cast<unsigned short>(month & 0xFFFF), f.month) << raw;
    EXPECT_EQ(static_cast<unsigned short>(day & 0xFFFF), f.day) << raw;
    EXPECT_EQ(static_cast<unsigned short>(dow & 0xFFFF), f.dayOfWeek) << raw;
  };
  for (std::uint32_t raw : {0u, 1u, 1721425u, 5373485u, 0x7FFEF000u, 0x7FFFFFFFu, 0x80000000u,
                            0xFFFEF000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    check(raw);
  }
  for (std::uint64_t raw = 0; raw <= 0xFFFFFFFFu; raw += 65537) {
    check(static_cast<std::uint32_t>(raw));
  }
}

TEST(DateTimeRaw, GetTimeOfAnyMillisecondsDividesUnsigned) {
  CDateTime value(2013, 3, 5);
  value.setms(0xFFFFFFFFu);  // 4,294,967,295 ms = 1193 h 2 min 47 s 295 ms
  Clock c = timeOf(value);
  EXPECT_EQ(1193, c.hour);
  EXPECT_EQ(2, c.minute);
  EXPECT_EQ(47, c.second);
  EXPECT_EQ(295, c.millisecond);
  value.setms(86400000u);  // one whole day reads as hour 24
  c = timeOf(value);
  EXPECT_EQ(24, c.hour);
  EXPECT_EQ(0, c.minute);
}

TEST(DateTimeClock, SystemTimeIsUtcAndNow) {
  using namespace std::chrono;
  auto dayNumber = []() {
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return std::int64_t{2440588} + ms / kMsPerDay;  // 1 January 1970 is day 2,440,588
  };
  const std::int64_t before = dayNumber();
  const CDateTime now = CDateTime::GetSystemTime();
  const std::int64_t after = dayNumber();
  EXPECT_TRUE(now.isGMTTime());
  EXPECT_TRUE(now.isValid());
  EXPECT_FALSE(now.isEncodeDateUsingDashes());
  EXPECT_GE(static_cast<std::int64_t>(now.getJD()), before);
  EXPECT_LE(static_cast<std::int64_t>(now.getJD()), after);
  EXPECT_LT(now.getms(), 86400000u);
}

TEST(DateTimeClock, LocalTimeFollowsTheTimeZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  // Five hours east of UTC, no daylight saving.
  ::setenv("TZ", "QEL-5", 1);
  const CDateTime utc = CDateTime::GetSystemTime();
  const CDateTime local = CDateTime::GetLocalTime();
  if (old != nullptr) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  EXPECT_FALSE(local.isGMTTime());
  EXPECT_TRUE(local.isValid());
  const std::int64_t utcMs = static_cast<std::int64_t>(utc.getJD()) * kMsPerDay + utc.getms();
  const std::int64_t localMs = static_cast<std::int64_t>(local.getJD()) * kMsPerDay + local.getms();
  // Five hours apart, give or take the moment between the two readings.
  EXPECT_NEAR(5.0 * 3600000.0, static_cast<double>(localMs - utcMs), 60000.0);
}
