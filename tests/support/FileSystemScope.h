#ifndef QEL_TESTS_SUPPORT_FILESYSTEMSCOPE_H_
#define QEL_TESTS_SUPPORT_FILESYSTEMSCOPE_H_

#include "qel/io/FileSystem.h"

namespace qel_test {

template <typename FileSystem>
qel::CFileSystem* makeFileSystem() {
  return new FileSystem;
}

// The shared file system is made by factory for the lifetime of the scope;
// then the previous factory and a fresh instance are back.
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
