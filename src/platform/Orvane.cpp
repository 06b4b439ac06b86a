#include <cstdint>
#include <mutex>
#include <string>

#include "core/Codecs.h"
#include "os/Host.h"
#include "qel/core/Exception.h"
#include "qel/platform/Orvane.h"

namespace qel {

namespace {

struct DirectoryState {
  std::mutex mutex;
  std::wstring directory;
};

DirectoryState& directoryState() {
  static DirectoryState* const instance = new DirectoryState();
  return *instance;
}

// The process's working directory.
std::string workingDirectory() {
  std::string directory;
  const std::int32_t error = platform::readWorkingDirectory(directory);
  if (error != 0) {
    throw OSException(error, L"getcwd");
  }
  return directory;
}

}  // namespace

std::wstring COrvane::GetCurrentDirectory() {
  {
    std::lock_guard<std::mutex> guard(directoryState().mutex);
    if (!directoryState().directory.empty()) {
      return directoryState().directory;
    }
  }
  std::wstring result = L"C:";
  result += codec::decodeHostName(workingDirectory());
  for (wchar_t& c : result) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return result;
}

void COrvane::SetCurrentDirectory(const std::wstring& directory) {
  std::lock_guard<std::mutex> guard(directoryState().mutex);
  directoryState().directory = directory;
}

std::wstring COrvane::GetCurrentDirectoryOverride() {
  std::lock_guard<std::mutex> guard(directoryState().mutex);
  return directoryState().directory;
}

}  // namespace qel
