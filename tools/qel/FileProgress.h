#ifndef QEL_TOOLS_QEL_FILEPROGRESS_H_
#define QEL_TOOLS_QEL_FILEPROGRESS_H_

#include <cstdint>
#include <string>

namespace qeltool {

// While it lives, the library's file system reports the bytes it reads to a
// progress bar (shown on a terminal once the work passes a second), so that
// loading a large archive shows how far it has come.  One at a time.
class FileProgress {
 public:
  FileProgress(const std::string& label, std::uint64_t total);
  ~FileProgress();
  FileProgress(const FileProgress&) = delete;
  FileProgress& operator=(const FileProgress&) = delete;
};

}  // namespace qeltool

#endif  // QEL_TOOLS_QEL_FILEPROGRESS_H_
