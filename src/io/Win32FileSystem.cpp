#include "qel/io/Win32FileSystem.h"

#include <algorithm>

#include "io/DriveMap.h"
#include "os/HostFile.h"
#include "qel/platform/Orvane.h"

namespace qel {

CWin32FileSystem::CWin32FileSystem() = default;
CWin32FileSystem::~CWin32FileSystem() = default;

std::wstring CWin32FileSystem::getCurrentDirectory() const {
  return COrvane::GetCurrentDirectory();
}

wchar_t CWin32FileSystem::getSeparatorChar() const {
  return L'\\';
}

unsigned int CWin32FileSystem::getPrefixLength(const std::wstring& path) const {
  const wchar_t sep = getSeparatorChar();
  if (path.size() >= 2 && path[1] == L':') {
    return (path.size() >= 3 && path[2] == sep) ? 3 : 2;
  }
  return (!path.empty() && path[0] == sep) ? 1 : 0;
}

bool CWin32FileSystem::isAbsolute(const std::wstring& path) const {
  return path.size() >= 3 && path[1] == L':' && path[2] == getSeparatorChar();
}

bool CWin32FileSystem::isCaseSensitive() const {
  return false;
}

void CWin32FileSystem::setDriveRoot(wchar_t letter, const std::string& hostDirectory) {
  drive_map::setRoot(letter, hostDirectory);
}

std::string CWin32FileSystem::getDriveRoot(wchar_t letter) {
  return drive_map::rootOf(letter);
}

wchar_t* CWin32FileSystem::getWString(const std::wstring& text) const {
  auto* copy = new wchar_t[text.size() + 1]();
  std::copy(text.begin(), text.end(), copy);
  return copy;
}

bool CWin32FileSystem::GetSpecialFolderLocation(int /*folder*/, wchar_t* /*path*/) const {
  return false;
}

std::uint32_t CWin32FileSystem::toHostPath(const std::wstring& path, std::string& hostPath) const {
  if (path.empty()) {
    return platform::kPathNotFound;
  }
  if (path.find(L'\0') != std::wstring::npos) {
    return platform::kInvalidName;
  }
  if (path.size() >= 2 && path[1] == L':') {
    return drive_map::toHostPath(path, hostPath);
  }
  // A rooted path names the root of the current directory's drive; a
  // relative one is taken from the current directory.
  const std::wstring current = getCurrentDirectory();
  if (current.size() < 2 || current[1] != L':') {
    return platform::kBadPathName;
  }
  if (path[0] == L'\\' || path[0] == L'/') {
    return drive_map::toHostPath(current.substr(0, 2) + path, hostPath);
  }
  return drive_map::toHostPath(resolve(current, path), hostPath);
}

const wchar_t* CWin32FileSystem::className() const {
  return L"CWin32FileSystem";
}

}  // namespace qel
