#ifndef QEL_IO_POSIXFILESYSTEM_H_
#define QEL_IO_POSIXFILESYSTEM_H_

#include <string>

#include "qel/core/Export.h"
#include "qel/io/HostFileSystem.h"

namespace qel {

// The native path rules: '/' separator, absolute when the path starts with
// '/', names compared case-sensitively.  The default file system on Linux.
class QEL_API CPosixFileSystem : public CHostFileSystem {
 public:
  CPosixFileSystem();
  ~CPosixFileSystem() override;

  // The directory set with COrvane::SetCurrentDirectory (a Windows form is
  // taken through the drive map), else the process's working directory.
  std::wstring getCurrentDirectory() const override;
  wchar_t getSeparatorChar() const override;
  // 1 for a leading '/', else 0.
  unsigned int getPrefixLength(const std::wstring& path) const override;
  bool isAbsolute(const std::wstring& path) const override;
  bool isCaseSensitive() const override;

 protected:
  std::uint32_t toHostPath(const std::wstring& path, std::string& hostPath) const override;
  const wchar_t* className() const override;
};

}  // namespace qel

#endif  // QEL_IO_POSIXFILESYSTEM_H_
