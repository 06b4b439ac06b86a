#ifndef QEL_TESTS_SUPPORT_OPENFLAGS_H_
#define QEL_TESTS_SUPPORT_OPENFLAGS_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace qel_test {

// The open flags (fcntl F_GETFL) of the descriptor that this process holds
// on path, or -1 when it holds none.
inline int openFlagsOf(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path wanted = std::filesystem::canonical(path, ec);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    if (wanted.empty() || std::filesystem::read_symlink(entry.path(), linkError) != wanted) {
      continue;
    }
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    for (std::string key, value; info >> key >> value;) {
      if (key == "flags:") {
        return static_cast<int>(std::strtol(value.c_str(), nullptr, 8));
      }
    }
  }
  return -1;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_OPENFLAGS_H_
