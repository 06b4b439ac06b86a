#ifndef QEL_TESTS_SUPPORT_TEMPDIR_H_
#define QEL_TESTS_SUPPORT_TEMPDIR_H_

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace qel_test {

inline std::string contentOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in directory, sorted.
inline std::vector<std::string> namesIn(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh directory under the system's temporary directory (or base),
// removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  explicit TempDir(const std::filesystem::path& base) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::error_code ec;
    do {
      _path = base / ("qel-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    } while (!std::filesystem::create_directory(_path, ec));
  }
  ~TempDir() {
    std::error_code ec;
    // Read-only entries must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(_path, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return _path; }
  std::string str() const { return _path.string(); }
  std::wstring wstr() const { return _path.wstring(); }
  std::wstring wpath(const std::string& relative) const { return (_path / relative).wstring(); }
  void writeFile(const std::string& relative, const std::string& content) const {
    std::ofstream(_path / relative, std::ios::binary) << content;
  }
  std::string readFile(const std::string& relative) const { return contentOf(_path / relative); }
  std::vector<std::string> names() const { return namesIn(_path); }

 private:
  std::filesystem::path _path;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_TEMPDIR_H_
