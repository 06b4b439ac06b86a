#ifndef QEL_SRC_PLATFORM_HOSTFILE_H_
#define QEL_SRC_PLATFORM_HOSTFILE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qel {
namespace platform {

// The one place where the library touches the disk.  Paths are host paths
// (UTF-8 bytes, '/' separated).  Every operation returns 0 on success or the
// Windows error number of the failure, so that both path-rule front ends
// share one error mapping:
enum HostError : std::uint32_t {
  kHostOk = 0,
  kFileNotFound = 2,
  kPathNotFound = 3,
  kTooManyOpenFiles = 4,
  kAccessDenied = 5,
  kInvalidHandle = 6,
  kNotEnoughMemory = 8,
  kNotSameDevice = 17,
  kGeneralFailure = 31,
  kFileExists = 80,
  kInvalidParameter = 87,
  kDiskFull = 112,
  kInvalidName = 123,
  kDirectoryNotEmpty = 145,
  kBadPathName = 161,
  kBusy = 170,
  kAlreadyExists = 183,
  kFilenameTooLong = 206,
  kFileTooLarge = 223,
  kIoDevice = 1117,
  kCantResolveFilename = 1921,
};

// How openFile treats an existing or a missing file.
enum class HostDisposition { kOpenExisting, kOpenAlways, kCreateNew, kCreateAlways };

struct HostOpenRequest {
  bool read = false;
  bool write = false;
  HostDisposition disposition = HostDisposition::kOpenExisting;
  // Attributes given to a file that the open creates.
  bool createReadOnly = false;
  bool createHidden = false;
  bool appendAtEnd = false;
  // Writing: instead of each write reaching the disk before it returns,
  // the writes are gathered, handed to the system in large pieces, and
  // close returns only once all of them are on the disk.  For files that
  // are complete only when closed; a failure to write may then be reported
  // by a later write or by close.
  bool durableAtClose = false;
  // Reading: the file is read in large pieces, and reads are served from
  // them.  For files read from start to end.
  bool readAhead = false;
};

// A calendar time stamp in UTC.
struct HostTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

struct HostAttributes {
  bool directory = false;
  bool hidden = false;
  bool readOnly = false;
  std::uint64_t size = 0;
  HostTime created;
  HostTime modified;
};

// An open file.  Opened files are written through to the disk.
class HostFile {
 public:
  static std::uint32_t open(const std::string& path, const HostOpenRequest& request,
                            HostFile** file);
  ~HostFile();
  HostFile(const HostFile&) = delete;
  HostFile& operator=(const HostFile&) = delete;

  // One read or write; *count may be short.  0 bytes read means end of file.
  std::uint32_t read(void* buffer, std::uint32_t size, std::uint32_t* count);
  std::uint32_t write(const void* buffer, std::uint32_t size, std::uint32_t* count);
  // Closing twice reports kInvalidHandle.  A file opened durable at close
  // is flushed to the disk first; the descriptor is released even when
  // that fails, and the failure is reported.
  std::uint32_t close();
  bool isOpen() const { return _fd >= 0; }

 private:
  HostFile(int fd, bool read, bool write, bool syncAtClose, bool readAhead)
      : _fd(fd),
        _bRead(read),
        _bWrite(write),
        _bSyncAtClose(syncAtClose),
        _bReadAhead(readAhead && read && !write) {}
  // Hands the gathered writes to the system.
  std::uint32_t writePending();
  int _fd;
  bool _bRead;
  bool _bWrite;
  bool _bSyncAtClose;
  bool _bReadAhead;
  std::vector<unsigned char> _pending;
  // Read ahead: the piece read last, _nAheadEnd bytes at the start of
  // _ahead, of which _nAheadPos have been served.
  std::vector<unsigned char> _ahead;
  std::size_t _nAheadPos = 0;
  std::size_t _nAheadEnd = 0;
};

std::uint32_t hostGetAttributes(const std::string& path, HostAttributes* attributes);
std::uint32_t hostSetReadOnly(const std::string& path, bool readOnly);
// Removes a file (directory false) or an empty directory.  A read-only file
// is refused, as on the original platform.
std::uint32_t hostDelete(const std::string& path, bool directory);
std::uint32_t hostCreateDirectory(const std::string& path);
// Appends the names of the entries of directory that match pattern (shell
// wildcards * and ?), without "." and "..", in the order the system gives.
std::uint32_t hostListDirectory(const std::string& directory, const std::string& pattern,
                                bool caseSensitive, std::vector<std::string>& names);
// Replaces the target when it exists; the change of the directory is flushed
// to the disk before it returns.
std::uint32_t hostRename(const std::string& from, const std::string& to);
// The process's working directory; empty when it cannot be read.
std::string hostCurrentDirectory();

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_PLATFORM_HOSTFILE_H_
