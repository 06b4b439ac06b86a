#ifndef QEL_IO_FILE_H_
#define QEL_IO_FILE_H_

#include <cstdint>
#include <filesystem>
#include <list>
#include <string>

#include "qel/core/Export.h"
#include "qel/core/RefCount.h"
#include "qel/datetime/DateTime.h"
#include "qel/io/FileSystem.h"

namespace qel {

// Names a file or directory.  The path is fixed at construction (made
// absolute against the current directory when it is not) and never
// normalised; every question is asked of the shared file system again.
class QEL_API CFile {
 public:
  explicit CFile(const std::wstring& path);
  // The same for a literal or any other terminated wide text; throws
  // IOException for a null pointer.
  explicit CFile(const wchar_t* path);
  // CFile(std::wstring) of path's bytes read as UTF-8, a byte that does not
  // decode becoming U+DC80..U+DCFF, so any host name is kept exactly.
  explicit CFile(const std::filesystem::path& path);
  // child when it is absolute, else parent joined with child.
  CFile(const std::wstring& parent, const std::wstring& child);
  CFile(const CFile& other);
  CFile& operator=(const CFile& other);
  ~CFile();

  // Equal paths, compared without regard to case when the file system
  // ignores case.
  bool operator==(const CFile& other) const;
  bool operator!=(const CFile& other) const;

  std::wstring getPath() const;
  // getPath() in the host's bytes, U+DC80..U+DCFF back to the byte each
  // stands for: under CPosixFileSystem the host path itself, and CFile(toPath())
  // names this file again.  Throws IOException "path: no host name" for any
  // other surrogate or a value beyond U+10FFFF.
  std::filesystem::path toPath() const;
  std::wstring getAbsolutePath() const;
  bool isAbsolute() const;
  bool exists() const;
  bool isFile() const;
  bool isDirectory() const;
  bool canRead() const;
  bool canWrite() const;
  std::uint32_t length() const;
  CDateTime getModificationDate() const;
  // The part after the last separator; empty for a root.
  std::wstring getName() const;
  // The part before the last separator, never shorter than the root prefix;
  // empty when there is no separator.
  std::wstring getParent() const;

  void deleteFile() const;
  // Creates an empty file; throws IOException "path Already exist." when it
  // exists.
  void createNewFile() const;
  // Creates every missing directory of the path, the last one included.
  void mkdirs() const;
  void renameTo(const CFile& destination) const;
  // Appends the entry names of a directory; does nothing for anything else.
  void listDirectory(std::list<std::wstring>& names) const;

  static std::wstring getSeparator();
  static wchar_t getSeparatorChar();
  static std::wstring getCurrentDirectory();
  static std::wstring getFolderLocation(CFileSystem::FolderType type);

 private:
  SmartPtr<CFileSystem> _pFileSystem;
  std::wstring _sPath;
  unsigned int _nPrefixLength;
};

}  // namespace qel

#endif  // QEL_IO_FILE_H_
