#include "os/HostFile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "os/BackgroundWriter.h"

namespace qel {
namespace platform {

namespace {

// The hidden attribute requested at creation is kept in this extended
// attribute where the file system supports it.
const char kAttributeName[] = "user.qel.attributes";
const char kHiddenValue[] = "hidden";

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

// How much a file written durable at close gathers before writing.
constexpr std::size_t kGatherSize = 256 * 1024;
// A file flushed at its close has the disk's write-out of what it holds
// started every few megabytes, so that the disk works while the rest is
// written and the flush at the close waits for the last few alone.
constexpr std::size_t kStartWriteOutEvery = 4 * 1024 * 1024;
// A file flushed at its close that grows beyond this is written on a
// thread of its own from then on; a settings file of the usual size never
// starts one.
constexpr std::size_t kBackgroundFrom = 8 * 1024 * 1024;

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parentOf(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) {
    return "/";
  }
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The Windows error number for an errno value.  A missing entry is "file not
// found" when its directory exists and "path not found" otherwise, so that a
// caller can tell a missing file from a missing directory.
std::uint32_t mapErrno(int error, const std::string& path) {
  switch (error) {
    case 0:
      return kHostOk;
    case ENOENT:
      return isDirectory(parentOf(path)) ? kFileNotFound : kPathNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EEXIST:
      return kFileExists;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
      return kAccessDenied;
    case EROFS:
      return kWriteProtect;
    case ENOTEMPTY:
      return kDirectoryNotEmpty;
    case ENAMETOOLONG:
      return kFilenameTooLong;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case EBUSY:
      return kBusy;
    case EINVAL:
      return kInvalidParameter;
    case EIO:
      return kIoDevice;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case ELOOP:
      return kCantResolveFilename;
    case EBADF:
      return kInvalidHandle;
    case EXDEV:
      return kNotSameDevice;
    case ENOMEM:
      return kNotEnoughMemory;
    case EFBIG:
      return kFileTooLarge;
    default:
      return kGeneralFailure;
  }
}

std::uint32_t lastError(const std::string& path) {
  return mapErrno(errno, path);
}

// While a write runs, a file size limit (ulimit -f) makes it fail with
// EFBIG instead of ending the process by SIGXFSZ: the signal is blocked for
// the calling thread, and the one the write raised is taken back.
class FileSizeSignalHold {
 public:
  FileSizeSignalHold() {
    sigemptyset(&_set);
    sigaddset(&_set, SIGXFSZ);
    _bHeld = ::pthread_sigmask(SIG_BLOCK, &_set, &_previous) == 0;
    sigset_t pending;
    _bWasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1;
  }
  ~FileSizeSignalHold() {
    if (!_bHeld) {
      return;
    }
    sigset_t pending;
    if (!_bWasPending && ::sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1) {
      const struct timespec now = {0, 0};
      (void)::sigtimedwait(&_set, nullptr, &now);
    }
    (void)::pthread_sigmask(SIG_SETMASK, &_previous, nullptr);
  }
  FileSizeSignalHold(const FileSizeSignalHold&) = delete;
  FileSizeSignalHold& operator=(const FileSizeSignalHold&) = delete;

 private:
  sigset_t _set;
  sigset_t _previous;
  bool _bHeld = false;
  bool _bWasPending = false;
};

// One write of the whole range, retried after a signal and continued after
// a short count.  Returns the error, kDiskFull for a write that took nothing.
std::uint32_t writeAll(int fd, const unsigned char* data, std::size_t size) {
  const FileSizeSignalHold hold;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n < 0 ? mapErrno(errno, std::string()) : kDiskFull;
    }
    done += static_cast<std::size_t>(n);
  }
  return kHostOk;
}

}  // namespace

std::uint32_t hostWriteDurablePiece(int fd, const unsigned char* data, std::size_t size,
                                    std::size_t* notStarted) {
  const std::uint32_t code = writeAll(fd, data, size);
  *notStarted += size;
  if (code == kHostOk && *notStarted >= kStartWriteOutEvery) {
    *notStarted = 0;
#if defined(__linux__)
    // Only a head start: the flush at the close still makes it durable and
    // reports what goes wrong.
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }
  return code;
}

namespace {

bool hasHiddenMark(const std::string& path) {
  char value[sizeof(kHiddenValue)] = {};
  const ssize_t n = ::getxattr(path.c_str(), kAttributeName, value, sizeof(value) - 1);
  return n == static_cast<ssize_t>(sizeof(kHiddenValue) - 1) &&
         std::memcmp(value, kHiddenValue, sizeof(kHiddenValue) - 1) == 0;
}

bool nameIsHidden(const std::string& path) {
  const std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) {
    return false;
  }
  const std::size_t slash = path.rfind('/', end);
  const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = path.substr(start, end - start + 1);
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

std::int64_t nanosecondsOf(const struct timespec& ts) {
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

HostTime toHostTime(const struct timespec& ts) {
  HostTime result;
  struct tm fields;
  const time_t seconds = ts.tv_sec;
  if (::gmtime_r(&seconds, &fields) == nullptr) {
    return result;
  }
  result.year = fields.tm_year + 1900;
  result.month = fields.tm_mon + 1;
  result.day = fields.tm_mday;
  result.hour = fields.tm_hour;
  result.minute = fields.tm_min;
  result.second = fields.tm_sec > 59 ? 59 : fields.tm_sec;
  result.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return result;
}

// Creation time where the file system records one, else the last change.
struct timespec birthTime(const std::string& path, const struct stat& st) {
#ifdef STATX_BTIME
  struct statx sx;
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    struct timespec ts;
    ts.tv_sec = sx.stx_btime.tv_sec;
    ts.tv_nsec = sx.stx_btime.tv_nsec;
    return ts;
  }
#endif
  (void)path;
  return st.st_mtim;
}

bool hasNul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

}  // namespace

std::uint32_t hostErrorOf(int error, const std::string& path) {
  return mapErrno(error, path);
}

std::uint32_t hostCreatePrivateTemporaryFile(const std::string& prefix, std::string& out) {
  const char* directory = std::getenv("TMPDIR");
  std::string path = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  path += "/" + prefix + "-XXXXXX";
  // mkostemp makes the file with O_EXCL and mode 0600.
  int descriptor;
  do {
    descriptor = ::mkostemp(&path[0], O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    return hostErrorOf(errno, path);
  }
  ::close(descriptor);
  out = path;
  return kHostOk;
}

const char* hostErrorText(std::uint32_t code) {
  switch (code) {
    case kHostOk:
      return "Success";
    case kFileNotFound:
    case kPathNotFound:
      return "No such file or directory";
    case kTooManyOpenFiles:
      return "Too many open files";
    case kAccessDenied:
      return "Permission denied";
    case kInvalidHandle:
      return "Bad file descriptor";
    case kNotEnoughMemory:
      return "Cannot allocate memory";
    case kNotSameDevice:
      return "Invalid cross-device link";
    case kWriteProtect:
      return "Read-only file system";
    case kLockViolation:
      return "locked by another process";
    case kFileExists:
    case kAlreadyExists:
      return "File exists";
    case kInvalidParameter:
      return "Invalid argument";
    case kDiskFull:
      return "No space left on device";
    case kInvalidName:
    case kBadPathName:
      return "Invalid file name";
    case kDirectoryNotEmpty:
      return "Directory not empty";
    case kBusy:
      return "Device or resource busy";
    case kFilenameTooLong:
      return "File name too long";
    case kFileTooLarge:
      return "File too large";
    case kIoDevice:
      return "Input/output error";
    case kCantResolveFilename:
      return "Too many levels of symbolic links";
    default:
      return "Unknown error";
  }
}

std::uint32_t HostFile::open(const std::string& path, const HostOpenRequest& request,
                             HostFile** file) {
  *file = nullptr;
  if (hasNul(path) || path.empty()) {
    return kInvalidName;
  }
  int flags = O_CLOEXEC;
  if (request.read && request.write) {
    flags |= O_RDWR;
  } else if (request.write) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  const bool syncAtClose = request.write && request.durableAtClose;
  if (request.write && !syncAtClose) {
    flags |= O_DSYNC;  // write-through
  }
  switch (request.disposition) {
    case HostDisposition::kOpenExisting:
      break;
    case HostDisposition::kOpenAlways:
      flags |= O_CREAT;
      break;
    case HostDisposition::kCreateNew:
      flags |= O_CREAT | O_EXCL;
      break;
    case HostDisposition::kCreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
  }

  // Read-only means no write permission for anyone, and it holds for every
  // user, the superuser included: writing or truncating such a file is
  // refused.  A directory cannot be opened as a file.  A plain read of an
  // existing file needs no look before opening: the status taken once it is
  // open tells a directory.
  const bool truncates = request.disposition == HostDisposition::kCreateAlways;
  struct stat st;
  const bool existed = (request.write || request.disposition != HostDisposition::kOpenExisting) &&
                       ::stat(path.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    return kAccessDenied;
  }
  if (existed && (st.st_mode & kWriteBits) == 0 && (request.write || truncates) &&
      request.disposition != HostDisposition::kCreateNew) {
    return kAccessDenied;
  }
  const mode_t mode = request.createReadOnly ? 0444 : 0666;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return lastError(path);
  }
  std::unique_ptr<HostFile> opened(
      new HostFile(fd, request.read, request.write, syncAtClose, request.readAhead));
  struct stat now;
  if (::fstat(fd, &now) != 0) {
    return lastError(path);
  }
  if (S_ISDIR(now.st_mode)) {
    return kAccessDenied;
  }
  if (request.createHidden && (!existed || truncates)) {
    // Best effort: a file system without user attributes keeps only the
    // dot-name rule.
    (void)::fsetxattr(fd, kAttributeName, kHiddenValue, sizeof(kHiddenValue) - 1, 0);
  }
  if (request.createReadOnly && truncates && existed) {
    (void)::fchmod(fd, now.st_mode & ~kWriteBits);
  }
  if (request.appendAtEnd && ::lseek(fd, 0, SEEK_END) < 0) {
    return lastError(path);
  }
  *file = opened.release();
  return kHostOk;
}

HostFile::HostFile(int fd, bool read, bool write, bool syncAtClose, bool readAhead)
    : _fd(fd),
      _bRead(read),
      _bWrite(write),
      _bSyncAtClose(syncAtClose),
      _bReadAhead(readAhead && read && !write) {}

HostFile::~HostFile() {
  if (_fd >= 0) {
    (void)writePending();
    if (_bSyncAtClose) {
      (void)::fdatasync(_fd);
    }
    ::close(_fd);
  }
}

std::uint32_t HostFile::read(void* buffer, std::uint32_t size, std::uint32_t* count) {
  *count = 0;
  if (_fd < 0) {
    return kInvalidHandle;
  }
  if (!_bRead) {
    return kAccessDenied;
  }
  const std::uint32_t pending = writePending();
  if (pending != kHostOk) {
    return pending;
  }
  // What was read ahead is served first; a small read refills it.
  if (_bReadAhead && (_nAheadPos != _nAheadEnd || size < kGatherSize)) {
    if (_nAheadPos == _nAheadEnd) {
      // The pieces grow from 16 KiB, so that small files cost little.  The
      // array only grows: it is filled by the reads, not cleared for them.
      const std::size_t piece =
          std::min(kGatherSize, std::max<std::size_t>(16 * 1024, _ahead.size() * 2));
      if (_ahead.size() < piece) {
        _ahead.resize(piece);
      }
      ssize_t got;
      do {
        got = ::read(_fd, _ahead.data(), piece);
      } while (got < 0 && errno == EINTR);
      _nAheadPos = 0;
      if (got < 0) {
        _nAheadEnd = 0;
        return mapErrno(errno, std::string());
      }
      _nAheadEnd = static_cast<std::size_t>(got);
    }
    const std::size_t served = std::min<std::size_t>(size, _nAheadEnd - _nAheadPos);
    if (served != 0) {
      std::memcpy(buffer, _ahead.data() + _nAheadPos, served);
    }
    _nAheadPos += served;
    *count = static_cast<std::uint32_t>(served);
    return kHostOk;
  }
  ssize_t n;
  do {
    n = ::read(_fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return mapErrno(errno, std::string());
  }
  *count = static_cast<std::uint32_t>(n);
  return kHostOk;
}

std::uint32_t HostFile::write(const void* buffer, std::uint32_t size, std::uint32_t* count) {
  *count = 0;
  if (_fd < 0) {
    return kInvalidHandle;
  }
  if (!_bWrite) {
    return kAccessDenied;
  }
  if (_bSyncAtClose) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    if (_pending.capacity() < kGatherSize) {
      _pending.reserve(kGatherSize + size);
    }
    _pending.insert(_pending.end(), bytes, bytes + size);
    if (_pending.size() >= kGatherSize) {
      const std::uint32_t code = _pWriter ? _pWriter->hand(_pending) : writePending();
      if (code != kHostOk) {
        return code;
      }
      startBackgroundWriter();
    }
    *count = size;
    return kHostOk;
  }
  const FileSizeSignalHold hold;
  ssize_t n;
  do {
    n = ::write(_fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return mapErrno(errno, std::string());
  }
  *count = static_cast<std::uint32_t>(n);
  return kHostOk;
}

std::uint32_t HostFile::close() {
  if (_fd < 0) {
    return kInvalidHandle;
  }
  const std::uint32_t pending = writePending();
  const int fd = _fd;
  _fd = -1;
  int syncError = 0;
  if (_bSyncAtClose) {
    int result;
    do {
      result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    syncError = result != 0 ? errno : 0;
  }
  // The descriptor is released even when close reports an error; retrying
  // could close a descriptor another thread has been given meanwhile.
  if (::close(fd) != 0 && errno != EINTR) {
    return mapErrno(syncError != 0 ? syncError : errno, std::string());
  }
  if (pending != kHostOk) {
    return pending;
  }
  return syncError != 0 ? mapErrno(syncError, std::string()) : kHostOk;
}

std::uint32_t HostFile::writePending() {
  std::uint32_t code = kHostOk;
  if (_pWriter) {
    code = _pWriter->finish();
    _pWriter.reset();
  }
  if (_pending.empty()) {
    return code;
  }
  if (code == kHostOk) {
    _nHanded += _pending.size();
    code = _bSyncAtClose
               ? hostWriteDurablePiece(_fd, _pending.data(), _pending.size(), &_nNotStarted)
               : writeAll(_fd, _pending.data(), _pending.size());
  }
  // What could not be written is dropped: the failure is reported once.
  _pending.clear();
  return code;
}

void HostFile::startBackgroundWriter() {
  if (_pWriter || _nHanded < kBackgroundFrom) {
    return;
  }
  try {
    _pWriter = std::make_unique<BackgroundWriter>(_fd);
  } catch (const std::exception&) {
    // Without a thread the writes go on in the caller's.
  }
}

std::uint32_t hostGetAttributes(const std::string& path, HostAttributes* attributes, int parts) {
  if (hasNul(path) || path.empty()) {
    return kInvalidName;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return lastError(path);
  }
  attributes->directory = S_ISDIR(st.st_mode);
  attributes->readOnly = (st.st_mode & kWriteBits) == 0;
  if ((parts & kAttributesHidden) != 0) {
    attributes->hidden = nameIsHidden(path) || hasHiddenMark(path);
  }
  attributes->size = attributes->directory ? 0 : static_cast<std::uint64_t>(st.st_size);
  if ((parts & kAttributesTimes) != 0) {
    attributes->modified = toHostTime(st.st_mtim);
    attributes->created = toHostTime(birthTime(path, st));
  }
  attributes->device = static_cast<std::uint64_t>(st.st_dev);
  attributes->fileNumber = static_cast<std::uint64_t>(st.st_ino);
  attributes->modifiedNanoseconds = nanosecondsOf(st.st_mtim);
  attributes->changedNanoseconds = nanosecondsOf(st.st_ctim);
  return kHostOk;
}

std::uint32_t hostSetReadOnly(const std::string& path, bool readOnly) {
  if (hasNul(path) || path.empty()) {
    return kInvalidName;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return lastError(path);
  }
  const mode_t mode = readOnly
                          ? (st.st_mode & ~kWriteBits)
                          : ((st.st_mode & kWriteBits) != 0 ? st.st_mode : st.st_mode | S_IWUSR);
  if (::chmod(path.c_str(), mode & 07777) != 0) {
    return lastError(path);
  }
  return kHostOk;
}

std::uint32_t hostDelete(const std::string& path, bool directory) {
  if (hasNul(path) || path.empty()) {
    return kInvalidName;
  }
  if (directory) {
    return ::rmdir(path.c_str()) == 0 ? kHostOk : lastError(path);
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return lastError(path);
  }
  if (S_ISDIR(st.st_mode)) {
    return kAccessDenied;
  }
  if (!S_ISLNK(st.st_mode) && (st.st_mode & kWriteBits) == 0) {
    return kAccessDenied;
  }
  return ::unlink(path.c_str()) == 0 ? kHostOk : lastError(path);
}

std::uint32_t hostCreateDirectory(const std::string& path) {
  if (hasNul(path) || path.empty()) {
    return kInvalidName;
  }
  if (::mkdir(path.c_str(), 0777) == 0) {
    return kHostOk;
  }
  // An existing entry is "already exists" for a directory, not "file exists".
  return errno == EEXIST ? kAlreadyExists : lastError(path);
}

std::uint32_t hostListDirectory(const std::string& directory, const std::string& pattern,
                                bool caseSensitive, std::vector<std::string>& names) {
  if (hasNul(directory) || hasNul(pattern) || directory.empty()) {
    return kInvalidName;
  }
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) {
    return lastError(directory);
  }
  const int flags = caseSensitive ? 0 : FNM_CASEFOLD;
  // "*.*" is the Windows form's pattern for every entry: it matches every
  // name, with or without a dot.
  const std::string effective = pattern == "*.*" ? std::string("*") : pattern;
  while (true) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    if (::fnmatch(effective.c_str(), name, flags) == 0) {
      names.emplace_back(name);
    }
  }
  ::closedir(dir);
  return kHostOk;
}

std::uint32_t hostRename(const std::string& from, const std::string& to) {
  if (hasNul(from) || hasNul(to) || from.empty() || to.empty()) {
    return kInvalidName;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    const int error = errno;
    return mapErrno(error, error == ENOENT && !isDirectory(parentOf(to)) ? to : from);
  }
  const int dirFd = ::open(parentOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
  return kHostOk;
}

std::string hostCurrentDirectory() {
  std::string buffer(256, '\0');
  while (true) {
    if (::getcwd(&buffer[0], buffer.size()) != nullptr) {
      buffer.resize(std::strlen(buffer.c_str()));
      return buffer;
    }
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
}  // namespace qel
