#ifndef QEL_SRC_OS_HOSTFILE_H_
#define QEL_SRC_OS_HOSTFILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qel {
namespace platform {

class BackgroundWriter;

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
  kWriteProtect = 19,
  kGeneralFailure = 31,
  kLockViolation = 33,
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

// The reason of a failure in the words the system gives it ("No space left
// on device"); "locked by another process" for kLockViolation.
const char* hostErrorText(std::uint32_t code);

// Creates a new, empty file that only this user may read and write, named
// prefix and random characters, in the directory for temporary files
// ($TMPDIR, else /tmp), and gives its path in out.
std::uint32_t hostCreatePrivateTemporaryFile(const std::string& prefix, std::string& out);

// The host error number for an errno value met on path.
std::uint32_t hostErrorOf(int error, const std::string& path);

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
  // What tells this file from another put in its place: the system's
  // device and file numbers and, in nanoseconds since the epoch, the times
  // of the last change of the content and of the file's status.
  std::uint64_t device = 0;
  std::uint64_t fileNumber = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedNanoseconds = 0;
};

// What a path to be replaced leads to, symbolic links followed.
struct HostTarget {
  enum Kind { kMissing, kRegular, kDirectory, kFifo, kCharDevice, kOther };
  Kind kind = kMissing;
  // The name that is not a link: the file to replace, or the one a dangling
  // link names.
  std::string path;
  // An existing file's permission bits, owner and group.
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  // No one may write the existing file.
  bool readOnly = false;
};

// Follows the chain of symbolic links that path starts (a relative link is
// taken from the link's directory).  A missing file is kMissing when its
// directory exists, and kPathNotFound otherwise.
std::uint32_t hostResolveTarget(const std::string& path, HostTarget* target);

// Writes one gathered piece of a file flushed at its close (all of it, or
// the error), and starts the disk's write-out of the file every few
// megabytes, counted in *notStarted.
std::uint32_t hostWriteDurablePiece(int fd, const unsigned char* data, std::size_t size,
                                    std::size_t* notStarted);

// An open file.  Opened files are written through to the disk.
class HostFile {
 public:
  static std::uint32_t open(const std::string& path, const HostOpenRequest& request,
                            HostFile** file);
  // A new, empty file of mode 0600 in the directory of target.path: an
  // unnamed one where the file system supports it (*path empty), else one
  // with an unpredictable name, created exclusively (never through a link).
  // Its writes are gathered as for a file durable at close; commitOver
  // makes it the target.
  static std::uint32_t createTemporary(const HostTarget& target, HostFile** file,
                                       std::string* path);
  // An existing FIFO or character device, opened for writing as a stream
  // (writes may be short); close() ends it.
  static std::uint32_t openStream(const HostTarget& target, HostFile** file);
  // For a temporary file: writes what is gathered, gives the file the
  // target's mode (and owner and group where the process may set them; a
  // new target gets 0666 less the umask), flushes its data to the disk,
  // closes it and renames it over target.path, then flushes the directory.
  // The file is closed whatever happens; a failure before the rename
  // removes the temporary file, one after it (flushing the directory) leaves
  // the target replaced.
  std::uint32_t commitOver(const std::string& temporary, const HostTarget& target);
  // Closes the file without writing what is gathered, and removes the
  // temporary file of that name (none for a stream).
  std::uint32_t discard(const std::string& temporary);
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
  // Out of line, as the destructor: the background writer is only declared
  // here.
  HostFile(int fd, bool read, bool write, bool syncAtClose, bool readAhead);
  // Hands the gathered writes to the system, after every piece handed to
  // the background writer (which then ends).
  std::uint32_t writePending();
  // Moves the writes of a durable file that has grown large to a thread of
  // their own.
  void startBackgroundWriter();
  static std::uint32_t createNamedTemporary(const std::string& directory, const std::string& base,
                                            HostFile** file, std::string* path);
  // Gives the unnamed file fd an unpredictable name in directory.
  static std::uint32_t linkUnnamed(int fd, const std::string& directory, const std::string& base,
                                   std::string* name);
  int _fd;
  bool _bRead;
  bool _bWrite;
  bool _bSyncAtClose;
  bool _bReadAhead;
  std::vector<unsigned char> _pending;
  // Bytes handed to the system since their write-out to the disk was last
  // started (files flushed at their close), and in all.
  std::size_t _nNotStarted = 0;
  std::size_t _nHanded = 0;
  std::unique_ptr<BackgroundWriter> _pWriter;
  // Read ahead: the piece read last, _nAheadEnd bytes at the start of
  // _ahead, of which _nAheadPos have been served.
  std::vector<unsigned char> _ahead;
  std::size_t _nAheadPos = 0;
  std::size_t _nAheadEnd = 0;
};

// What hostGetAttributes reads beyond the one stat of the path, each part
// costing calls of its own: the hidden mark, and the creation and
// modification times as calendar fields.
enum HostAttributeParts { kAttributesOfStat = 0, kAttributesHidden = 1, kAttributesTimes = 2 };

// The attributes of path; the parts not asked for keep their defaults.
std::uint32_t hostGetAttributes(const std::string& path, HostAttributes* attributes, int parts);
std::uint32_t hostSetReadOnly(const std::string& path, bool readOnly);
// Removes a file (directory false) or an empty directory.  A read-only file
// is refused: the read-only attribute guards a file against removal as it
// does against writing.
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

// An exclusive advisory lock for the read-modify-write of one file, released
// when the object is destroyed (or the process ends).  An existing file is
// locked itself; a missing one through its directory, until it exists.
class HostLock {
 public:
  // Waits up to waitMilliseconds for the lock; kLockViolation when another
  // holder kept it that long.
  static std::uint32_t acquire(const std::string& path, std::uint32_t waitMilliseconds,
                               HostLock** lock);
  ~HostLock();
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;

 private:
  explicit HostLock(int fd) : _fd(fd) {}
  int _fd;
};

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_HOSTFILE_H_
