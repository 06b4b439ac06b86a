#ifndef QEL_TESTS_SUPPORT_FILESYSTEMSCOPE_H_
#define QEL_TESTS_SUPPORT_FILESYSTEMSCOPE_H_

#include "qel/io/FileSystem.h"

namespace qel_test {

// A factory for the shared file system: a new one of the given kind.
template <typename FileSystem>
qel::CFileSystem* makeFileSystem() {
  return new FileSystem;
}

// Makes the shared file system one of the factory's kind for the lifetime of
// the scope, then restores the previous factory and a fresh instance.
class FileSystemScope {
 public:
  explicit FileSystemScope(qel::CFileSystem::Factory factory)
      : _previous(qel::CFileSystem::setFactory(factory)) {
    qel::CFileSystem::resetInstance();
  }
  ~FileSystemScope() {
    qel::CFileSystem::setFactory(_previous);
    qel::CFileSystem::resetInstance();
  }
  FileSystemScope(const FileSystemScope&) = delete;
  FileSystemScope& operator=(const FileSystemScope&) = delete;

 private:
  qel::CFileSystem::Factory _previous;
};

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_FILESYSTEMSCOPE_H_
