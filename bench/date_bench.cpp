// The text form of a date-time (ISO 8601 basic, YYYYMMDDThhmmssZ) parsed and
// written, against strptime+timegm / gmtime_r+strftime of the C library and
// POCO's DateTimeParser / DateTimeFormatter with the ISO 8601 format.
//
// The three parsers read the same texts and must agree on the instant.  The
// C library writes the same text; POCO's ISO 8601 format is the extended
// layout (YYYY-MM-DDThh:mm:ssZ), which must carry the same digits.
#include <benchmark/benchmark.h>

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormat.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/DateTimeParser.h>
#include <Poco/Timestamp.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "qel/datetime/DateTime.h"

namespace {

using qelbench::require;

constexpr char kFormat[] = "%Y%m%dT%H%M%SZ";
constexpr std::int64_t kUnixEpochJulianDay = 2440588;

struct Fields {
  int year, month, day, hour, minute, second;
};

// A fixed spread of instants from 1971 to 2036, all with a time of day
// other than midnight so that every text has the full form.
std::vector<Fields> sampleFields() {
  std::vector<Fields> fields;
  std::uint32_t seed = 12345;
  const auto next = [&seed](int range) {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(range));
  };
  const std::size_t count = qelbench::scaled(64, 4);
  for (std::size_t i = 0; i < count; ++i) {
    fields.push_back(
        Fields{1971 + next(66), 1 + next(12), 1 + next(28), 1 + next(23), next(60), next(60)});
  }
  return fields;
}

std::tm toTm(const Fields& f) {
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  return tm;
}

std::time_t qelEpoch(const qel::CDateTime& value) {
  return static_cast<std::time_t>((static_cast<std::int64_t>(value.getJD()) - kUnixEpochJulianDay) *
                                      86400 +
                                  value.getms() / 1000);
}

std::string libcText(std::time_t t) {
  std::tm tm;
  gmtime_r(&t, &tm);
  char buffer[32];
  const std::size_t n = std::strftime(buffer, sizeof(buffer), kFormat, &tm);
  return std::string(buffer, n);
}

std::time_t libcParse(const std::string& text) {
  std::tm tm{};
  const char* end = strptime(text.c_str(), kFormat, &tm);
  benchmark::DoNotOptimize(end);
  return timegm(&tm);
}

// Everything the benchmarks need, built and cross-checked once.
struct Samples {
  std::vector<std::string> texts;
  std::vector<qel::CDateTime> qelValues;
  std::vector<std::time_t> times;
  std::vector<Poco::DateTime> pocoValues;
};

const Samples& samples() {
  static const Samples built = [] {
    Samples s;
    for (const Fields& f : sampleFields()) {
      std::tm tm = toTm(f);
      const std::time_t t = timegm(&tm);
      s.times.push_back(t);
      s.texts.push_back(libcText(t));
      qel::CDateTime value(
          static_cast<unsigned short>(f.year), static_cast<unsigned short>(f.month),
          static_cast<unsigned short>(f.day), static_cast<unsigned short>(f.hour),
          static_cast<unsigned short>(f.minute), static_cast<unsigned short>(f.second), 0);
      value.forceGMT(true);
      s.qelValues.push_back(value);
      s.pocoValues.emplace_back(f.year, f.month, f.day, f.hour, f.minute, f.second);
    }
    for (std::size_t i = 0; i < s.texts.size(); ++i) {
      const std::string& text = s.texts[i];
      // Writing: QelCore and the C library give the same text, POCO the
      // same digits.
      require(s.qelValues[i].toByteString(false) == text, "QelCore writes another text");
      std::string poco =
          Poco::DateTimeFormatter::format(s.pocoValues[i], Poco::DateTimeFormat::ISO8601_FORMAT);
      require(poco.size() == 20, "POCO writes the extended layout");
      std::string digits;
      for (char c : poco) {
        if (c != '-' && c != ':') {
          digits.push_back(c);
        }
      }
      require(digits == text, "POCO writes other digits");
      // Parsing: the same instant from the same text on all three sides.
      const qel::CDateTime parsed(text);
      require(parsed.isGMTTime() && qelEpoch(parsed) == s.times[i], "QelCore reads another time");
      require(libcParse(text) == s.times[i], "strptime reads another time");
      int tzd = 1;
      const Poco::DateTime pocoParsed =
          Poco::DateTimeParser::parse(Poco::DateTimeFormat::ISO8601_FORMAT, text, tzd);
      require(tzd == 0 && pocoParsed.timestamp().epochTime() == s.times[i],
              "POCO reads another time");
    }
    return s;
  }();
  return built;
}

// Every iteration handles one value; the benchmarks cycle through the set.
template <typename Body>
void cycle(benchmark::State& state, std::size_t count, Body body) {
  std::size_t i = 0;
  for (auto _ : state) {
    body(i);
    if (++i == count) {
      i = 0;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void date_parse_qel(benchmark::State& state) {
  const Samples& s = samples();
  cycle(state, s.texts.size(), [&s](std::size_t i) {
    const qel::CDateTime value(s.texts[i]);
    benchmark::DoNotOptimize(value.getJD());
    benchmark::DoNotOptimize(value.getms());
  });
}

void date_parse_libc(benchmark::State& state) {
  const Samples& s = samples();
  cycle(state, s.texts.size(), [&s](std::size_t i) {
    const std::time_t t = libcParse(s.texts[i]);
    benchmark::DoNotOptimize(t);
  });
}

void date_parse_poco(benchmark::State& state) {
  const Samples& s = samples();
  cycle(state, s.texts.size(), [&s](std::size_t i) {
    int tzd = 0;
    Poco::DateTime value;
    Poco::DateTimeParser::parse(Poco::DateTimeFormat::ISO8601_FORMAT, s.texts[i], value, tzd);
    benchmark::DoNotOptimize(value.utcTime());
    benchmark::DoNotOptimize(tzd);
  });
}

void date_write_qel(benchmark::State& state) {
  const Samples& s = samples();
  cycle(state, s.qelValues.size(), [&s](std::size_t i) {
    std::string text = s.qelValues[i].toByteString(false);
    benchmark::DoNotOptimize(text.data());
  });
}

void date_write_libc(benchmark::State& state) {
  const Samples& s = samples();
  cycle(state, s.times.size(), [&s](std::size_t i) {
    std::string text = libcText(s.times[i]);
    benchmark::DoNotOptimize(text.data());
  });
}

void date_write_poco(benchmark::State& state) {
  const Samples& s = samples();
  cycle(state, s.pocoValues.size(), [&s](std::size_t i) {
    std::string text =
        Poco::DateTimeFormatter::format(s.pocoValues[i], Poco::DateTimeFormat::ISO8601_FORMAT);
    benchmark::DoNotOptimize(text.data());
  });
}

BENCHMARK(date_parse_qel)->Name("date_parse/qel");
BENCHMARK(date_parse_libc)->Name("date_parse/libc");
BENCHMARK(date_parse_poco)->Name("date_parse/poco");
BENCHMARK(date_write_qel)->Name("date_write/qel");
BENCHMARK(date_write_libc)->Name("date_write/libc");
BENCHMARK(date_write_poco)->Name("date_write/poco");

}  // namespace

BENCHMARK_MAIN();
