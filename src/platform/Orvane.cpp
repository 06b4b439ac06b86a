#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
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

// The process's working directory; the buffer grows until the path fits.
std::string workingDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      return std::string(buffer.data());
    }
    const int error = errno;
    if (error != ERANGE) {
      throw OSException(static_cast<std::int32_t>(error), L"getcwd");
    }
    buffer.resize(buffer.size() * 2);
  }
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
  result += CWin32Helper::fromUTF8(workingDirectory());
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
