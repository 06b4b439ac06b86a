#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "qel/datetime/DateTime.h"

using qel::CDateTime;

namespace {

// The test's own calendar: month lengths of the proleptic Gregorian calendar.
int daysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return leap ? 29 : 28;
  }
  return kDays[month - 1];
}

}  // namespace

// Walks every day from 1 January of year 1 to 31 December 9999, counting Julian
// day numbers and weekdays on its own, and checks both conversions and the
// weekday of each day.  1 January of year 1 (proleptic Gregorian) is Julian
// day 1,721,426 and a Monday.
TEST(DateTimeCalendar, EveryDayOfYears1To9999RoundTrips) {
  std::uint32_t jd = 1721426;
  int weekday = 1;
  long failures = 0;
  for (int y = 1; y <= 9999; ++y) {
    for (int m = 1; m <= 12; ++m) {
      const int length = daysInMonth(y, m);
      for (int d = 1; d <= length; ++d) {
        const auto uy = static_cast<unsigned short>(y);
        const auto um = static_cast<unsigned short>(m);
        const auto ud = static_cast<unsigned short>(d);
        if (!CDateTime::IsValidDate(uy, um, ud) || CDateTime(uy, um, ud).getJD() != jd) {
          if (++failures < 10) {
            ADD_FAILURE() << "date to day number: " << y << "-" << m << "-" << d;
          }
        }
        CDateTime value;
        value.setJD(jd);
        unsigned short gy, gm, gd, gw;
        value.getDate(gy, gm, gd, gw);
        if (gy != y || gm != m || gd != d || gw != weekday) {
          if (++failures < 10) {
            ADD_FAILURE() << "day number to date: " << jd << " gave " << gy << "-" << gm << "-"
                          << gd << " weekday " << gw << ", expected " << y << "-" << m << "-" << d
                          << " weekday " << weekday;
          }
        }
        ++jd;
        weekday = (weekday + 1) % 7;
      }
      // Day 0 and the day after the month's end are no dates.
      EXPECT_FALSE(CDateTime::IsValidDate(static_cast<unsigned short>(y),
                                          static_cast<unsigned short>(m),
                                          static_cast<unsigned short>(length + 1)));
    }
  }
  EXPECT_EQ(0, failures);
  EXPECT_EQ(5373484u, jd - 1);  // 31 December 9999
}

// Every fifth day of the calendar written and read back through the text
// forms, against the C library's formatting of the same fields.
TEST(DateTimeCalendar, EveryDayWritesAndReadsItsTextForm) {
  long failures = 0;
  long counter = 0;
  char expected[32];
  for (int y = 1; y <= 9999; ++y) {
    for (int m = 1; m <= 12; ++m) {
      const int length = daysInMonth(y, m);
      for (int d = 1; d <= length; ++d) {
        if (++counter % 5 != 0) {
          continue;
        }
        // A time that changes from day to day: hour, minute, second, ms.
        const int h = (y + d) % 24;
        const int mi = (m * 7 + d) % 60;
        const int s = (y * 3 + d) % 60;
        const int ms = (y + m * 31 + d) % 1000;
        CDateTime value(static_cast<unsigned short>(y), static_cast<unsigned short>(m),
                        static_cast<unsigned short>(d), static_cast<unsigned short>(h),
                        static_cast<unsigned short>(mi), static_cast<unsigned short>(s),
                        static_cast<unsigned short>(ms));
        value.forceGMT(d % 2 == 0);
        if (h == 0 && mi == 0 && s == 0) {
          std::snprintf(expected, sizeof expected, "%04d%02d%02d", y, m, d);
        } else if (ms != 0) {
          std::snprintf(expected, sizeof expected, "%04d%02d%02dT%02d%02d%02d.%03d%s", y, m, d, h,
                        mi, s, ms, d % 2 == 0 ? "Z" : "");
        } else {
          std::snprintf(expected, sizeof expected, "%04d%02d%02dT%02d%02d%02d%s", y, m, d, h, mi, s,
                        d % 2 == 0 ? "Z" : "");
        }
        const std::string text = value.toByteString(true);
        if (text != expected) {
          if (++failures < 10) {
            ADD_FAILURE() << text << " != " << expected;
          }
          continue;
        }
        // A date-only text reads back as local midnight.
        const bool dateOnly = h == 0 && mi == 0 && s == 0;
        const CDateTime back(text);
        const CDateTime want =
            dateOnly ? CDateTime(static_cast<unsigned short>(y), static_cast<unsigned short>(m),
                                 static_cast<unsigned short>(d))
                     : value;
        if (back != want || back.isGMTTime() != (!dateOnly && value.isGMTTime())) {
          if (++failures < 10) {
            ADD_FAILURE() << "read back " << text;
          }
        }
      }
    }
  }
  EXPECT_EQ(0, failures);
}

// Date-only values of every day of leap and common years, with and without
// dashes, including the first and the last year of the calendar.
TEST(DateTimeCalendar, DateOnlyTextsOfEveryDayOfSeveralYears) {
  char expected[40];
  for (int y : {1, 1900, 2000, 2023, 2024, 9999}) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= daysInMonth(y, m); ++d) {
        CDateTime value(static_cast<unsigned short>(y), static_cast<unsigned short>(m),
                        static_cast<unsigned short>(d));
        std::snprintf(expected, sizeof expected, "%04d%02d%02d", y, m, d);
        ASSERT_EQ(expected, value.toByteString(true));
        value.encodeDateUsingDashes(true);
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02d", y, m, d);
        ASSERT_EQ(expected, value.toByteString(false));
      }
    }
  }
}
