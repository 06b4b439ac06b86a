#include "qel/platform/ConsoleLogger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <set>
#include <string>

#include "os/Host.h"
#include "qel/platform/Orvane.h"

namespace qel {

bool DISPLAY_LOGS = false;
bool DISPLAY_ERROR_LOGS = true;

namespace {

// Not exported.  Atomic only so that a late enableLog cannot tear a read;
// the policy is still "set once at start-up".
std::atomic<bool> g_bLoggerEnabled{false};
std::atomic<const char*> g_pLoggerName{nullptr};

// The names given to setName.  A message may be reading one while another
// is set, so none is ever freed; setting a name again reuses its copy.
const char* keptName(const std::string& name) {
  struct Names {
    std::mutex mutex;
    std::set<std::string> kept;
  };
  static Names* const names = new Names();
  std::lock_guard<std::mutex> guard(names->mutex);
  return names->kept.insert(name).first->c_str();
}

constexpr std::size_t kMessageBufferSize = 512;
constexpr std::size_t kKeptOnTruncation = 508;

// Widens text in the current locale.  A byte that does not start a valid
// sequence becomes the character of the same value, so nothing is dropped
// (and in the C locale every byte maps to itself).
std::wstring widen(const char* text) {
  std::wstring out;
  const std::size_t length = std::strlen(text);
  std::mbstate_t shift{};
  std::size_t pos = 0;
  while (pos < length) {
    wchar_t c = 0;
    std::size_t used = std::mbrtowc(&c, text + pos, length - pos, &shift);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) || used == 0) {
      c = static_cast<wchar_t>(static_cast<unsigned char>(text[pos]));
      used = 1;
      shift = std::mbstate_t{};
    }
    out.push_back(c);
    pos += used;
  }
  return out;
}

}  // namespace

void ConsoleLogger::enableLog(bool enable, const char* name) {
  DISPLAY_LOGS = enable;
  g_bLoggerEnabled.store(enable);
  g_pLoggerName.store(name);
}

void ConsoleLogger::setName(const std::string& name) {
  g_pLoggerName.store(keptName(name));
}

void ConsoleLogger::LogMessage(logger_message_type type, const char* format, ...) {
  const bool wanted = type == LOG_ERROR ? DISPLAY_ERROR_LOGS : DISPLAY_LOGS;
  if (!wanted || format == nullptr) {
    return;
  }
  char buffer[kMessageBufferSize] = {};
  va_list args;
  va_start(args, format);
  // va_start initialises args; the analyzer does not model it.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int count = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (count < 0) {
    return;
  }
  if (static_cast<std::size_t>(count) >= kMessageBufferSize) {
    // 508 characters and "..." fill the buffer up to its terminator.
    std::memcpy(buffer + kKeptOnTruncation, "...", 4);
  } else {
    const std::size_t length = std::strlen(buffer);
    if (length > 0 && buffer[length - 1] == '\n') {
      buffer[length - 1] = '\0';
    }
  }
  Win32ConsoleLogger::LogMessage(type, buffer);
}

void Win32ConsoleLogger::enableLog(bool enable, const char* name) {
  g_bLoggerEnabled.store(enable);
  g_pLoggerName.store(name);
}

void Win32ConsoleLogger::LogMessage(logger_message_type type, const char* message, ...) {
  if (!g_bLoggerEnabled.load() && (type == LOG_INFO || type == LOG_DEBUG)) {
    return;
  }
  if (message == nullptr) {
    return;
  }
  int level = 0;
  if (type == LOG_ERROR) {
    level = 1;
  } else if (type == LOG_INFO) {
    level = 2;
  } else {
    return;
  }
  const std::wstring text = widen(message);
  const char* name = g_pLoggerName.load();
  const std::wstring wideName = name != nullptr ? widen(name) : std::wstring();
  const MessageLogger logger(wideName.c_str(), level);
  logger.LogMessage(text.c_str());
}

bool standardErrorIsTerminal() {
  return platform::isTerminal(platform::StandardStream::Error);
}

bool standardOutputIsTerminal() {
  return platform::isTerminal(platform::StandardStream::Output);
}

}  // namespace qel
