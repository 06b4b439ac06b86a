#ifndef QEL_IO_FILESYSTEM_H_
#define QEL_IO_FILESYSTEM_H_

#include <cstdint>
#include <list>
#include <string>

#include "qel/core/Export.h"
#include "qel/core/Lock.h"
#include "qel/core/RefCount.h"
#include "qel/datetime/DateTime.h"

namespace qel {

class CFileDescriptor;

// The library's single entry point to the file system.  One shared instance
// serves the whole process (getFileSystem); it lives while some SmartPtr
// holds it.  On Linux the instance is a CPosixFileSystem unless setFactory
// chose another kind (CWin32FileSystem, or a test file system).
class QEL_API CFileSystem : public CRefCountable {
 public:
  enum AccessMode : int { ACCESS_READ = 1, ACCESS_WRITE = 2 };
  enum CreationFlag : int {
    CF_OPEN_EXISTING = 0,
    CF_OPEN_APPEND = 1,
    CF_CREATE_NEW = 2,
    CF_CREATE_ALWAYS = 3
  };
  enum FolderType : int { FOLDER_CURRENT = 0 };
  enum AttributeFlag : int {
    FA_EXISTS = 1,
    FA_FILE = 2,
    FA_DIRECTORY = 4,
    FA_HIDDEN = 8,
    FA_READONLY = 16
  };
  // Given to openFile with the attributes.  A file opened for writing is
  // written through to the disk: each write has reached it when writeFile
  // returns.  With OF_DURABLE_AT_CLOSE the writes reach it together, before
  // closing the file returns; for files that are complete only once closed.
  // With OF_SEQUENTIAL_READ the file is read from the system in large pieces
  // and readFile is served from them; for files read from start to end.
  enum OpenFlag : int { OF_DURABLE_AT_CLOSE = 0x10000, OF_SEQUENTIAL_READ = 0x20000 };
  // Given to openReplacement.  RF_REPLACE_READ_ONLY replaces a file that
  // has no write permission; RF_STREAM_SPECIAL_FILES writes to an existing
  // FIFO or character device as a stream instead of refusing it.
  enum ReplaceFlag : int { RF_REPLACE_READ_ONLY = 1, RF_STREAM_SPECIAL_FILES = 2 };

  using Factory = CFileSystem* (*)();

  CFileSystem();
  // Detaches this instance from the shared pointer when it is the shared one.
  ~CFileSystem() override;

  virtual std::wstring getSeparator() const;
  // parent + separator + child; no separator is added after a parent that
  // ends with one.  An empty parent gives child unchanged.
  virtual std::wstring resolve(const std::wstring& parent, const std::wstring& child) const;
  // The current directory joined with path.
  virtual std::wstring resolve(const std::wstring& path) const;

  virtual std::wstring getCurrentDirectory() const = 0;
  virtual std::wstring getFolderLocation(FolderType type) const = 0;
  virtual wchar_t getSeparatorChar() const = 0;
  virtual unsigned int getPrefixLength(const std::wstring& path) const = 0;
  virtual bool isAbsolute(const std::wstring& path) const = 0;
  virtual bool isCaseSensitive() const = 0;
  virtual int getFileAttributeFlags(const std::wstring& path) const = 0;
  virtual bool checkAccess(const std::wstring& path, AccessMode mode) const = 0;
  virtual CDateTime getCreationDate(const std::wstring& path) const = 0;
  virtual CDateTime getModificationDate(const std::wstring& path) const = 0;
  virtual std::uint32_t getLength(const std::wstring& path) const = 0;
  virtual void setReadOnly(const std::wstring& path, bool readOnly) const = 0;
  virtual void deleteFile(const std::wstring& path) const = 0;
  virtual void listDirectory(const std::wstring& path, const std::wstring& filter,
                             std::list<std::wstring>& names) const = 0;
  virtual void createDirectory(const std::wstring& path) const = 0;
  virtual void rename(const std::wstring& from, const std::wstring& to) const = 0;
  virtual std::wstring filterFilename(const std::wstring& name) const = 0;
  // Null for a missing file opened with CF_OPEN_EXISTING; every other
  // failure throws.  attributes: FA_READONLY and FA_HIDDEN for a file the
  // call creates, and OpenFlag values.
  virtual SmartPtr<CFileDescriptor> openFile(const std::wstring& path, int access,
                                             CreationFlag creation, int attributes) = 0;
  virtual std::uint32_t readFile(CFileDescriptor* descriptor, unsigned char* buffer,
                                 std::uint32_t size) const = 0;
  virtual std::uint32_t writeFile(CFileDescriptor* descriptor, const unsigned char* buffer,
                                  std::uint32_t size) const = 0;
  virtual void closeFile(CFileDescriptor* descriptor) const = 0;

  // Replacing a file whole.  openReplacement gives a descriptor for
  // writeFile that writes a new, private file beside the one path leads to
  // (symbolic links followed); commitReplacement puts it in that file's
  // place in one step, durably, with the old file's permissions.  Closing
  // the descriptor before the commit discards the new file and leaves the
  // old one as it was.  A stream target (see RF_STREAM_SPECIAL_FILES) is
  // written directly, and the commit writes what is still gathered.
  // Failures throw IOException (FileNotFoundException for a missing
  // directory) whose message is the path and the system's reason.  This
  // base class supports none of it and throws IOException.
  virtual SmartPtr<CFileDescriptor> openReplacement(const std::wstring& path, int flags);
  virtual void commitReplacement(CFileDescriptor* descriptor);
  // An exclusive advisory lock for the read-modify-write of the file at
  // path, waited for up to waitMilliseconds and released when the last
  // SmartPtr to the descriptor goes (or by close()).  Readers need none.
  // IOException "<path>: locked by another process" when the wait ends; a
  // directory or any file that is not a regular one is refused as
  // openReplacement refuses it.
  virtual SmartPtr<CFileDescriptor> lockFile(const std::wstring& path,
                                             std::uint32_t waitMilliseconds);

  // The shared instance, with one reference for the caller.
  static SmartPtr<CFileSystem> getFileSystem();
  // Forgets the shared instance; its holders keep it, the next
  // getFileSystem() creates a new one.
  static void resetInstance();
  // Chooses what getFileSystem() creates from the next creation on; null
  // restores the platform default.  Returns the previous factory (null for
  // the default).
  static Factory setFactory(Factory factory);

  // The current shared instance; holds no reference.
  static CFileSystem* volatile _pFileSystem;

 private:
  static CLock& creationLock();
};

// An open file.  The descriptor keeps its file system alive; the file is
// closed when the last SmartPtr to the descriptor goes.
class QEL_API CFileDescriptor : public CRefCountable {
 public:
  explicit CFileDescriptor(CFileSystem* fileSystem);
  ~CFileDescriptor() override;

  // Closes the file at once through its file system.
  virtual void close();
  SmartPtr<CFileSystem> getFileSystem() const;

 protected:
  SmartPtr<CFileSystem> _pFileSystem;
};

}  // namespace qel

#endif  // QEL_IO_FILESYSTEM_H_
