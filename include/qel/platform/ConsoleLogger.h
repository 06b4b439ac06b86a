#ifndef QEL_PLATFORM_CONSOLELOGGER_H_
#define QEL_PLATFORM_CONSOLELOGGER_H_

#include <string>

#include "qel/core/Export.h"
#include "qel/core/StringHelper.h"

namespace qel {

enum logger_message_type : int { LOG_ERROR = 0, LOG_INFO = 1, LOG_DEBUG = 2 };

// Let messages through the first filter: LOG_ERROR while DISPLAY_ERROR_LOGS
// is set (initially true), every other type while DISPLAY_LOGS is set
// (initially false).  Plain process-wide flags, meant to be set at start-up.
extern QEL_API bool DISPLAY_LOGS;
extern QEL_API bool DISPLAY_ERROR_LOGS;

// The entry point for diagnostic messages.  What reaches the log sink:
//   LOG_ERROR  while DISPLAY_ERROR_LOGS, at level 1;
//   LOG_INFO   while DISPLAY_LOGS and the logger is enabled, at level 2;
//   LOG_DEBUG  never.
class QEL_API ConsoleLogger {
 public:
  // Sets DISPLAY_LOGS and the logger's enabled flag to enable and keeps the
  // pointer name (not a copy): the text must stay alive while logging may
  // happen.  DISPLAY_ERROR_LOGS is left as it is.
  static void enableLog(bool enable, const char* name);
  // Names the logger with a copy of name (empty: "qelcore" on standard error); flags unchanged.
  static void setName(const std::string& name);

  // Expands format printf-style into 512 bytes.  An expansion of 512
  // characters or more is cut to its first 508 followed by "..."; otherwise
  // one final line feed is removed.  A null format or an expansion the C
  // library refuses logs nothing.
  static void LogMessage(logger_message_type type, const char* format, ...) QEL_PRINTF_FORMAT(2, 3);
};

// The second stage: filters once more and hands finished text to the sink.
class QEL_API Win32ConsoleLogger {
 public:
  // Sets the logger's enabled flag and name pointer; DISPLAY_LOGS is left as
  // it is.
  static void enableLog(bool enable, const char* name);

  // message is finished text: it is never expanded, and further arguments
  // are ignored.  LOG_INFO and LOG_DEBUG are dropped while the logger is not
  // enabled; LOG_ERROR goes out at level 1, LOG_INFO at level 2, any other
  // type not at all.  The message and the name are widened in the current
  // locale, a byte the locale cannot decode becoming the character of the same
  // value; the name is read afresh for every message.  A null message logs
  // nothing.
  static void LogMessage(logger_message_type type, const char* message, ...);
};

// Whether the process's standard error is open on a terminal, where
// progress and other interactive output make sense.
QEL_API bool standardErrorIsTerminal();
// The same for standard output.
QEL_API bool standardOutputIsTerminal();

}  // namespace qel

#endif  // QEL_PLATFORM_CONSOLELOGGER_H_
