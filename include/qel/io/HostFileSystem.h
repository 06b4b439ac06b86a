#ifndef QEL_IO_HOSTFILESYSTEM_H_
#define QEL_IO_HOSTFILESYSTEM_H_

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "qel/core/Export.h"
#include "qel/io/FileSystem.h"

namespace qel {

namespace platform {
class HostFile;
}

// A file opened through the host file layer.  The handle is owned by the
// descriptor; an explicit close() is remembered, so the handle is closed
// exactly once.
class QEL_API CWin32FileDescriptor : public CFileDescriptor {
 public:
  CWin32FileDescriptor(CFileSystem* fileSystem, void* handle);
  // Closes the file unless it was closed already; a failure is swallowed.
  ~CWin32FileDescriptor() override;

  void* getHandle() const { return _pHandle; }
  // The handle where one is taken, as callers of the descriptor expect.
  operator void*() const { return _pHandle; }

 private:
  void* _pHandle;
};

// What tells a file from another put in its place under the same name: two
// stamps of one path are equal while it names the same, unchanged file.
struct QEL_API SFileStamp {
  // The system's numbers of the device and of the file on it.
  std::uint64_t nDevice = 0;
  std::uint64_t nFile = 0;
  std::uint64_t nSize = 0;
  // The last change of the content and of the file's status, in
  // nanoseconds since 1970-01-01T00:00:00Z.
  std::int64_t nModifiedNanoseconds = 0;
  std::int64_t nChangedNanoseconds = 0;

  bool operator==(const SFileStamp& other) const {
    return nDevice == other.nDevice && nFile == other.nFile && nSize == other.nSize &&
           nModifiedNanoseconds == other.nModifiedNanoseconds &&
           nChangedNanoseconds == other.nChangedNanoseconds;
  }
  bool operator!=(const SFileStamp& other) const { return !(*this == other); }
};

// The disk operations that every path-rule front end shares: each turns its
// paths into host paths (toHostPath) and reports failures through one
// mapping of host error numbers to exceptions (ThrowException).
class QEL_API CHostFileSystem : public CFileSystem {
 public:
  std::wstring getFolderLocation(FolderType type) const override;
  int getFileAttributeFlags(const std::wstring& path) const override;
  bool checkAccess(const std::wstring& path, AccessMode mode) const override;
  CDateTime getCreationDate(const std::wstring& path) const override;
  CDateTime getModificationDate(const std::wstring& path) const override;
  std::uint32_t getLength(const std::wstring& path) const override;
  // The stamp of the file or directory at path, symbolic links followed,
  // its size in full; FileNotFoundException or IOException, with the
  // system's reason, when there is none to read.
  SFileStamp getStamp(const std::wstring& path) const;
  void setReadOnly(const std::wstring& path, bool readOnly) const override;
  void deleteFile(const std::wstring& path) const override;
  void listDirectory(const std::wstring& path, const std::wstring& filter,
                     std::list<std::wstring>& names) const override;
  void createDirectory(const std::wstring& path) const override;
  // Renames for real, replacing an existing target.
  void rename(const std::wstring& from, const std::wstring& to) const override;
  // Erases every "./", then every "/", restarting the search after each
  // erasure; backslashes stay.
  std::wstring filterFilename(const std::wstring& name) const override;
  SmartPtr<CFileDescriptor> openFile(const std::wstring& path, int access, CreationFlag creation,
                                     int attributes) override;
  std::uint32_t readFile(CFileDescriptor* descriptor, unsigned char* buffer,
                         std::uint32_t size) const override;
  std::uint32_t writeFile(CFileDescriptor* descriptor, const unsigned char* buffer,
                          std::uint32_t size) const override;
  // Closing a replacement that was not committed discards it; closing a
  // lock releases it.
  void closeFile(CFileDescriptor* descriptor) const override;
  SmartPtr<CFileDescriptor> openReplacement(const std::wstring& path, int flags) override;
  void commitReplacement(CFileDescriptor* descriptor) override;
  SmartPtr<CFileDescriptor> lockFile(const std::wstring& path,
                                     std::uint32_t waitMilliseconds) override;

  // Maps a host error number: 80 gives IOException "name Already exist.";
  // 2, 3 and 161 give FileNotFoundException "name"; anything else
  // IOException "name".
  [[noreturn]] static void ThrowException(std::uint32_t code, const std::wstring& name);
  // The same exception types, with "path: reason" as the message, the
  // reason in the system's words ("No space left on device").
  [[noreturn]] static void ThrowFailure(std::uint32_t code, const std::wstring& path);

 protected:
  CHostFileSystem() = default;
  // The host path for path, or a host error number (0 on success).
  virtual std::uint32_t toHostPath(const std::wstring& path, std::string& hostPath) const = 0;
  // Prefix of the labels of the operations that have no path: "CWin32FileSystem".
  virtual const wchar_t* className() const = 0;
  // Throws for a failed read, write or close of descriptor: a replacement's
  // failure names its target (ThrowFailure), any other file's the
  // operation's label ("CPosixFileSystem::writeFile").
  [[noreturn]] void throwFileFailure(CFileDescriptor* descriptor, std::uint32_t code,
                                     const wchar_t* operation) const;

 private:
  // Runs operation on the host form of path and throws the mapped exception,
  // carrying path, when either step fails.
  void onHostPath(const std::wstring& path,
                  const std::function<std::uint32_t(const std::string&)>& operation) const;
  platform::HostFile* hostFileOf(CFileDescriptor* descriptor, const wchar_t* operation) const;
  std::wstring label(const wchar_t* operation) const;
  CDateTime timeStamp(const std::wstring& path, bool creation) const;
};

}  // namespace qel

#endif  // QEL_IO_HOSTFILESYSTEM_H_
