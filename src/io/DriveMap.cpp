#include "io/DriveMap.h"

#include <mutex>

#include "core/Codecs.h"
#include "os/HostFile.h"

namespace qel {
namespace drive_map {

namespace {

struct Map {
  std::mutex mutex;
  std::string roots[26];
  Map() { roots['C' - 'A'] = "/"; }
};

Map& theMap() {
  static Map* map = new Map;  // outlives every static file system
  return *map;
}

int indexOf(wchar_t letter) {
  if (letter >= L'a' && letter <= L'z') {
    return letter - L'a';
  }
  if (letter >= L'A' && letter <= L'Z') {
    return letter - L'A';
  }
  return -1;
}

bool isForbidden(wchar_t c) {
  return (c >= 0 && c < 32) || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|' ||
         c == L'?' || c == L'*';
}

}  // namespace

std::string rootOf(wchar_t letter) {
  const int index = indexOf(letter);
  if (index < 0) {
    return std::string();
  }
  Map& map = theMap();
  std::lock_guard<std::mutex> guard(map.mutex);
  return map.roots[index];
}

void setRoot(wchar_t letter, const std::string& hostDirectory) {
  const int index = indexOf(letter);
  if (index < 0) {
    return;
  }
  Map& map = theMap();
  std::lock_guard<std::mutex> guard(map.mutex);
  map.roots[index] = hostDirectory;
}

std::uint32_t toHostPath(const std::wstring& windowsPath, std::string& hostPath) {
  if (windowsPath.size() < 2 || windowsPath[1] != L':' || indexOf(windowsPath[0]) < 0) {
    return platform::kInvalidName;
  }
  std::wstring rest = windowsPath.substr(2);
  for (wchar_t& c : rest) {
    if (isForbidden(c)) {
      return platform::kInvalidName;
    }
    if (c == L'\\') {
      c = L'/';
    }
  }
  std::string root = rootOf(windowsPath[0]);
  if (root.empty()) {
    return platform::kPathNotFound;
  }
  while (!root.empty() && root.back() == '/') {
    root.pop_back();
  }
  if (rest.empty() || rest[0] != L'/') {
    rest.insert(rest.begin(), L'/');
  }
  std::string hostRest;
  if (!codec::encodeHostName(rest, hostRest)) {
    return platform::kInvalidName;
  }
  hostPath = root + hostRest;
  return platform::kHostOk;
}

}  // namespace drive_map
}  // namespace qel
