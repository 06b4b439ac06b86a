#ifndef QEL_TOOLS_QEL_PROGRESS_H_
#define QEL_TOOLS_QEL_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qel/platform/ConsoleLogger.h"

// A progress bar on standard error for work that runs longer than a second,
// shown only when standard error is a terminal.  QEL_PROGRESS_DELAY_MS in the
// environment sets another delay (tests use 0).
class Progress {
 public:
  Progress(std::string label, std::uint64_t total)
      : _label(shorten(std::move(label))),
        _total(total),
        _enabled(qel::standardErrorIsTerminal()),
        _delay(delayFromEnvironment()),
        _start(std::chrono::steady_clock::now()),
        _last(_start - std::chrono::seconds(1)) {}
  ~Progress() {
    if (_shown) {
      std::fprintf(stderr, "\r%*s\r", 78, "");
    }
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void update(std::uint64_t done) {
    if (!_enabled) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - _start < _delay || now - _last < std::chrono::milliseconds(100)) {
      return;
    }
    _last = now;
    _shown = true;
    if (_total == 0) {
      std::fprintf(stderr, "\r%s %llu bytes", _label.c_str(),
                   static_cast<unsigned long long>(done));
      return;
    }
    constexpr int kWidth = 40;
    const std::uint64_t clamped = done < _total ? done : _total;
    const int filled = static_cast<int>(clamped * kWidth / _total);
    std::fprintf(stderr, "\r%s %3d%% [%s%s]", _label.c_str(),
                 static_cast<int>(clamped * 100 / _total), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str());
  }

 private:
  // Long labels (paths) keep their end, where the file name is.
  static std::string shorten(std::string label) {
    constexpr std::size_t kMax = 30;
    if (label.size() > kMax) {
      label = "..." + label.substr(label.size() - (kMax - 3));
    }
    return label;
  }

  static std::chrono::milliseconds delayFromEnvironment() {
    const char* text = std::getenv("QEL_PROGRESS_DELAY_MS");
    if (text == nullptr || *text == '\0') {
      return std::chrono::seconds(1);
    }
    return std::chrono::milliseconds(std::strtoul(text, nullptr, 10));
  }

  std::string _label;
  std::uint64_t _total;
  bool _enabled;
  bool _shown = false;
  std::chrono::milliseconds _delay;
  std::chrono::steady_clock::time_point _start;
  std::chrono::steady_clock::time_point _last;
};

#endif  // QEL_TOOLS_QEL_PROGRESS_H_
