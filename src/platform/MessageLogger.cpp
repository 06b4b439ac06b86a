#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "qel/core/StringHelper.h"
#include "qel/platform/Orvane.h"

namespace {

struct SinkState {
  std::mutex mutex;
  MessageLogger::Sink sink;
};

SinkState& sinkState() {
  static SinkState* const instance = new SinkState();
  return *instance;
}

// One line, "name: text" ("qelcore: text" without a name), written with a
// single call so that messages of several threads do not interleave.
void writeToStandardError(const std::wstring& name, const std::wstring& text) {
  std::string line = name.empty() ? std::string("qelcore") : qel::CWin32Helper::toUTF8(name);
  line += ": ";
  line += qel::CWin32Helper::toUTF8(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

MessageLogger::MessageLogger(const wchar_t* name, int level)
    : _sName(name != nullptr ? name : L""), _nLevel(level) {}

MessageLogger::~MessageLogger() = default;

void MessageLogger::LogMessage(const wchar_t* message, ...) const {
  if (message == nullptr) {
    return;
  }
  const std::wstring text(message);
  Sink sink;
  {
    std::lock_guard<std::mutex> guard(sinkState().mutex);
    sink = sinkState().sink;
  }
  if (sink) {
    sink(_sName, _nLevel, text);
  } else {
    writeToStandardError(_sName, text);
  }
}

void MessageLogger::SetSink(Sink sink) {
  std::lock_guard<std::mutex> guard(sinkState().mutex);
  sinkState().sink = std::move(sink);
}
