#ifndef QEL_IO_REPLACEMENT_H_
#define QEL_IO_REPLACEMENT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "os/HostFile.h"
#include "qel/io/HostFileSystem.h"

namespace qel {

// A file being written to replace another (or a stream written in its
// place).  Destroyed or closed before the commit, it discards what it wrote.
class CReplacementDescriptor : public CWin32FileDescriptor {
 public:
  // temporary is the new file's host path (empty for an unnamed file or a
  // stream).
  CReplacementDescriptor(CFileSystem* fileSystem, platform::HostFile* file, std::wstring path,
                         platform::HostTarget target, std::string temporary, bool stream)
      : CWin32FileDescriptor(fileSystem, file),
        _path(std::move(path)),
        _target(std::move(target)),
        _temporary(std::move(temporary)),
        _bStream(stream) {}
  // Discards here: the base class would close the file as an ordinary one.
  ~CReplacementDescriptor() override { (void)discard(); }

  // The path the caller named, for messages.
  const std::wstring& path() const { return _path; }
  std::uint32_t discard() {
    platform::HostFile* file = hostFile();
    return file->isOpen() ? file->discard(_temporary) : platform::kHostOk;
  }
  std::uint32_t commit() {
    return _bStream ? hostFile()->close() : hostFile()->commitOver(_temporary, _target);
  }

 private:
  platform::HostFile* hostFile() const { return static_cast<platform::HostFile*>(getHandle()); }

  std::wstring _path;
  platform::HostTarget _target;
  std::string _temporary;
  bool _bStream;
};

// An advisory lock held as a descriptor.
class CLockDescriptor : public CFileDescriptor {
 public:
  CLockDescriptor(CFileSystem* fileSystem, platform::HostLock* lock)
      : CFileDescriptor(fileSystem), _lock(lock) {}
  void close() override { _lock.reset(); }

 private:
  std::unique_ptr<platform::HostLock> _lock;
};

}  // namespace qel

#endif  // QEL_IO_REPLACEMENT_H_
