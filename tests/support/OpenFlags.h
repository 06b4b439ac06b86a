#ifndef QEL_TESTS_SUPPORT_OPENFLAGS_H_
#define QEL_TESTS_SUPPORT_OPENFLAGS_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace qel_test {

// The open flags (as fcntl F_GETFL gives them) of the descriptor that this
// process holds open on path, or -1 when it holds none.
inline int openFlagsOf(const std::filesystem::path& path) {
  std::error_code ec;
  const std::filesystem::path wanted = std::filesystem::canonical(path, ec);
  if (ec) {
    return -1;
  }
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code linkError;
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), linkError);
    if (linkError || target != wanted) {
      continue;
    }
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    std::string value;
    while (info >> key >> value) {
      if (key == "flags:") {
        return static_cast<int>(std::strtol(value.c_str(), nullptr, 8));
      }
    }
  }
  return -1;
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_OPENFLAGS_H_
