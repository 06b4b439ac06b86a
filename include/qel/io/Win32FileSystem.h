#ifndef QEL_IO_WIN32FILESYSTEM_H_
#define QEL_IO_WIN32FILESYSTEM_H_

#include <string>

#include "qel/core/Export.h"
#include "qel/io/HostFileSystem.h"

namespace qel {

// The Windows path rules: backslash separator, drive prefixes, comparison
// without regard to case.  A Windows path reaches the host through a drive
// map: drive C: is the host root "/" unless setDriveRoot maps it elsewhere;
// on the host side both '\' and '/' separate.  Names with characters that
// Windows forbids (< > : " | ? * and controls) are refused.
class QEL_API CWin32FileSystem : public CHostFileSystem {
 public:
  CWin32FileSystem();
  ~CWin32FileSystem() override;

  // COrvane::GetCurrentDirectory(), unchanged.
  std::wstring getCurrentDirectory() const override;
  wchar_t getSeparatorChar() const override;
  // 3 for "X:\...", 2 for "X:" and "X:rest", 1 for a leading '\', else 0.
  unsigned int getPrefixLength(const std::wstring& path) const override;
  // "X:\" and longer.
  bool isAbsolute(const std::wstring& path) const override;
  bool isCaseSensitive() const override;

  // Maps drive letter (either case) to a host directory; an empty directory
  // removes the mapping.
  static void setDriveRoot(wchar_t letter, const std::string& hostDirectory);
  static std::string getDriveRoot(wchar_t letter);

 protected:
  // A zero-terminated heap copy (new[]) of text; the caller frees it with
  // delete[].
  virtual wchar_t* getWString(const std::wstring& text) const;
  // There are no special folders on this platform.
  bool GetSpecialFolderLocation(int folder, wchar_t* path) const;

  std::uint32_t toHostPath(const std::wstring& path, std::string& hostPath) const override;
  const wchar_t* className() const override;
};

}  // namespace qel

#endif  // QEL_IO_WIN32FILESYSTEM_H_
