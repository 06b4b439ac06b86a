// Replacing a file whole: the target found behind its links, a private
// temporary file beside it, the commit by rename, and the lock that keeps
// two read-modify-writes of one file apart.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "os/BackgroundWriter.h"
#include "os/HostFile.h"

namespace qel {
namespace platform {

namespace {

// As many links as the kernel follows in one path (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

// The longest part of the target's name kept in a temporary name: with the
// dot, the random part and the suffix it stays below the 255-byte limit.
constexpr std::size_t kMaxBaseInTemporary = 200;

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A temporary name in directory for a file named base, hidden by its dot;
// random tells one attempt from the next.
std::string temporaryName(const std::string& directory, const std::string& base,
                          const std::string& random) {
  std::string name = directory;
  name.append("/.")
      .append(base, 0, std::min(base.size(), kMaxBaseInTemporary))
      .append(".")
      .append(random)
      .append(".tmp");
  return name;
}

bool isDirectoryPath(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Follows the links that path starts to the first name that is not a link
// (or does not exist).  A relative link is read from the link's directory.
std::uint32_t followLinks(const std::string& path, std::string* result) {
  std::string current = path;
  for (int links = 0;; ++links) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        return hostErrorOf(errno, current);
      }
      *result = current;
      return kHostOk;
    }
    if (!S_ISLNK(st.st_mode)) {
      *result = current;
      return kHostOk;
    }
    if (links == kMaxLinks) {
      return kCantResolveFilename;
    }
    std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n;
    while ((n = ::readlink(current.c_str(), &link[0], link.size())) ==
           static_cast<ssize_t>(link.size())) {
      link.resize(link.size() * 2);  // the link grew since lstat
    }
    if (n < 0) {
      return hostErrorOf(errno, current);
    }
    link.resize(static_cast<std::size_t>(n));
    current =
        !link.empty() && link[0] == '/' ? link : directoryOf(current).append("/").append(link);
  }
}

// 16 hexadecimal digits from the system's random source.
bool randomPart(std::string* part) {
  unsigned char bytes[8];
  std::size_t got = 0;
  while (got < sizeof(bytes)) {
    const ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  static const char kDigits[] = "0123456789abcdef";
  part->clear();
  for (unsigned char byte : bytes) {
    part->push_back(kDigits[byte >> 4]);
    part->push_back(kDigits[byte & 15]);
  }
  return true;
}

// The process's file creation mask.  Read from /proc so that no other
// thread sees a changed mask; umask() itself is the fallback.
mode_t currentUmask() {
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[128];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof(line), status) != nullptr) {
      found = std::sscanf(line, "Umask: %o", &mask) == 1;
    }
    std::fclose(status);
    if (found) {
      return static_cast<mode_t>(mask);
    }
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

std::uint32_t syncDirectory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return hostErrorOf(errno, directory);
  }
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  // Some file systems cannot flush a directory; their renames are as durable
  // as they get.
  const int error = result != 0 && errno != EINVAL && errno != EROFS ? errno : 0;
  ::close(fd);
  return error != 0 ? hostErrorOf(error, directory) : kHostOk;
}

std::int64_t monotonicMilliseconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepMilliseconds(std::int64_t ms) {
  struct timespec pause = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

std::uint32_t hostResolveTarget(const std::string& path, HostTarget* target) {
  *target = HostTarget();
  if (path.empty() || path.find('\0') != std::string::npos) {
    return kInvalidName;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    // A node that is not a file is used through the name given: links into
    // /proc name descriptors, not paths.
    target->path = path;
    target->kind = S_ISDIR(st.st_mode)    ? HostTarget::kDirectory
                   : S_ISFIFO(st.st_mode) ? HostTarget::kFifo
                   : S_ISCHR(st.st_mode)  ? HostTarget::kCharDevice
                                          : HostTarget::kOther;
    return kHostOk;
  }
  std::uint32_t code = followLinks(path, &target->path);
  if (code != kHostOk) {
    return code;
  }
  if (::lstat(target->path.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      return hostErrorOf(errno, target->path);
    }
    target->kind = HostTarget::kMissing;
    return isDirectoryPath(directoryOf(target->path)) ? kHostOk : kPathNotFound;
  }
  target->kind = S_ISREG(st.st_mode) ? HostTarget::kRegular : HostTarget::kOther;
  target->mode = st.st_mode & 07777;
  target->owner = st.st_uid;
  target->group = st.st_gid;
  target->readOnly = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  return kHostOk;
}

std::uint32_t HostFile::createTemporary(const HostTarget& target, HostFile** file,
                                        std::string* path) {
  *file = nullptr;
  path->clear();
  const std::string directory = directoryOf(target.path);
  // An unnamed file where the file system has them: a process killed while
  // writing leaves nothing behind.  It gets its name only at the commit,
  // through its /proc link.
  if (::access("/proc/self/fd", X_OK) == 0) {
    int fd;
    do {
      fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      *file = new HostFile(fd, false, true, true, false);
      return kHostOk;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
      return hostErrorOf(errno, directory);
    }
  }
  return createNamedTemporary(directory, baseNameOf(target.path), file, path);
}

std::uint32_t HostFile::createNamedTemporary(const std::string& directory, const std::string& base,
                                             HostFile** file, std::string* path) {
  // A clash with a name of 64 random bits is a sign of a broken random
  // source or of an attack, not of bad luck: a few tries are enough.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string random;
    if (!randomPart(&random)) {
      return kGeneralFailure;
    }
    const std::string name = temporaryName(directory, base, random);
    int fd;
    do {
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EEXIST) {
      continue;
    }
    if (fd < 0) {
      return hostErrorOf(errno, name);
    }
    *file = new HostFile(fd, false, true, true, false);
    *path = name;
    return kHostOk;
  }
  return kFileExists;
}

std::uint32_t HostFile::openStream(const HostTarget& target, HostFile** file) {
  *file = nullptr;
  int fd;
  do {
    fd = ::open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return hostErrorOf(errno, target.path);
  }
  // Written as it comes, and not flushed: a stream has no disk.
  *file = new HostFile(fd, false, true, false, false);
  return kHostOk;
}

std::uint32_t HostFile::commitOver(const std::string& temporary, const HostTarget& target) {
  if (_fd < 0) {
    return kInvalidHandle;
  }
  std::uint32_t code = writePending();
  const int fd = _fd;
  _fd = -1;
  if (code == kHostOk && target.kind == HostTarget::kRegular) {
    // Owner and group first: changing them clears the set-id bits.  Only a
    // privileged process may give a file away; any owner may pass it to
    // one of their own groups.
    if ((target.owner != ::geteuid() || target.group != ::getegid()) &&
        ::fchown(fd, target.owner, target.group) != 0) {
      (void)::fchown(fd, static_cast<uid_t>(-1), target.group);
    }
  }
  if (code == kHostOk) {
    const mode_t mode =
        target.kind == HostTarget::kRegular ? target.mode : (0666 & ~currentUmask());
    if (::fchmod(fd, mode) != 0) {
      code = hostErrorOf(errno, temporary);
    }
  }
  if (code == kHostOk) {
    int result;
    do {
      result = ::fdatasync(fd);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      code = hostErrorOf(errno, temporary);
    }
  }
  std::string named = temporary;
  if (code == kHostOk && named.empty()) {
    code = linkUnnamed(fd, directoryOf(target.path), baseNameOf(target.path), &named);
  }
  // Renamed while still open: the file has its temporary name for as short
  // a time as can be.
  bool renamed = false;
  if (code == kHostOk) {
    renamed = ::rename(named.c_str(), target.path.c_str()) == 0;
    code = renamed ? kHostOk : hostErrorOf(errno, target.path);
  }
  if (::close(fd) != 0 && errno != EINTR && code == kHostOk) {
    code = hostErrorOf(errno, target.path);
  }
  if (code != kHostOk) {
    if (!named.empty() && !renamed) {
      (void)::unlink(named.c_str());
    }
    return code;
  }
  return syncDirectory(directoryOf(target.path));
}

std::uint32_t HostFile::linkUnnamed(int fd, const std::string& directory, const std::string& base,
                                    std::string* name) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string random;
    if (!randomPart(&random)) {
      return kGeneralFailure;
    }
    const std::string candidate = temporaryName(directory, base, random);
    if (::linkat(AT_FDCWD, link.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      *name = candidate;
      return kHostOk;
    }
    if (errno != EEXIST) {
      return hostErrorOf(errno, candidate);
    }
  }
  return kFileExists;
}

std::uint32_t HostFile::discard(const std::string& temporary) {
  if (_fd < 0) {
    return kInvalidHandle;
  }
  if (_pWriter) {
    (void)_pWriter->finish();
    _pWriter.reset();
  }
  _pending.clear();
  ::close(_fd);
  _fd = -1;
  if (temporary.empty() || ::unlink(temporary.c_str()) == 0) {
    return kHostOk;
  }
  return hostErrorOf(errno, temporary);
}

std::uint32_t HostLock::acquire(const std::string& path, std::uint32_t waitMilliseconds,
                                HostLock** lock) {
  *lock = nullptr;
  const std::int64_t deadline = monotonicMilliseconds() + waitMilliseconds;
  std::int64_t pause = 1;
  while (true) {
    HostTarget target;
    std::uint32_t code = hostResolveTarget(path, &target);
    if (code != kHostOk) {
      return code;
    }
    // A missing file has no inode to lock yet: its directory stands in for
    // it until a rename brings it in.
    const bool missing = target.kind == HostTarget::kMissing;
    const std::string locked = missing ? directoryOf(target.path) : target.path;
    int fd;
    do {
      fd = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                                      (missing ? O_DIRECTORY : O_NOFOLLOW));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      return hostErrorOf(errno, locked);
    }
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) {
        continue;
      }
      const std::int64_t left = deadline - monotonicMilliseconds();
      if (errno != EWOULDBLOCK || left <= 0) {
        const std::uint32_t error =
            errno == EWOULDBLOCK ? kLockViolation : hostErrorOf(errno, locked);
        ::close(fd);
        return error;
      }
      sleepMilliseconds(std::min(pause, left));
      pause = std::min<std::int64_t>(pause * 2, 25);
    }
    // The lock counts only if the name still leads where it was taken: a
    // writer that held it may have renamed a new file over the old one (or
    // created the missing one) meanwhile.
    struct stat held;
    struct stat now;
    const bool same = missing
                          ? (::lstat(target.path.c_str(), &now) != 0 && errno == ENOENT)
                          : (::fstat(fd, &held) == 0 && ::stat(target.path.c_str(), &now) == 0 &&
                             held.st_dev == now.st_dev && held.st_ino == now.st_ino);
    if (same) {
      *lock = new HostLock(fd);
      return kHostOk;
    }
    ::close(fd);
  }
}

HostLock::~HostLock() {
  ::close(_fd);  // releases the lock
}

}  // namespace platform
}  // namespace qel
