#include "qel/io/PosixFileSystem.h"

#include "core/Codecs.h"
#include "io/DriveMap.h"
#include "os/HostFile.h"
#include "qel/platform/Orvane.h"

namespace qel {

CPosixFileSystem::CPosixFileSystem() = default;
CPosixFileSystem::~CPosixFileSystem() = default;

std::wstring CPosixFileSystem::getCurrentDirectory() const {
  std::wstring chosen = COrvane::GetCurrentDirectoryOverride();
  if (chosen.empty()) {
    return codec::decodeHostName(platform::hostCurrentDirectory());
  }
  std::string host;
  if (chosen.size() >= 2 && chosen[1] == L':' &&
      drive_map::toHostPath(chosen, host) == platform::kHostOk) {
    return codec::decodeHostName(host);
  }
  return chosen;
}

wchar_t CPosixFileSystem::getSeparatorChar() const {
  return L'/';
}

unsigned int CPosixFileSystem::getPrefixLength(const std::wstring& path) const {
  return (!path.empty() && path[0] == L'/') ? 1 : 0;
}

bool CPosixFileSystem::isAbsolute(const std::wstring& path) const {
  return !path.empty() && path[0] == L'/';
}

bool CPosixFileSystem::isCaseSensitive() const {
  return true;
}

std::uint32_t CPosixFileSystem::toHostPath(const std::wstring& path, std::string& hostPath) const {
  if (path.empty()) {
    return platform::kPathNotFound;
  }
  if (path.find(L'\0') != std::wstring::npos) {
    return platform::kInvalidName;
  }
  // A relative path is taken from the application's current directory when
  // one was set; otherwise the process's own applies.
  const bool exact = path[0] != L'/' && !COrvane::GetCurrentDirectoryOverride().empty()
                         ? codec::encodeHostName(resolve(getCurrentDirectory(), path), hostPath)
                         : codec::encodeHostName(path, hostPath);
  return exact ? platform::kHostOk : platform::kInvalidName;
}

const wchar_t* CPosixFileSystem::className() const {
  return L"CPosixFileSystem";
}

}  // namespace qel
