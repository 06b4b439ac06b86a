#ifndef QEL_IO_TEMPORARYFILE_H_
#define QEL_IO_TEMPORARYFILE_H_

#include <string>

#include "qel/core/Export.h"
#include "qel/io/File.h"

namespace qel {

// A new, empty file that only this user may read and write, in the
// system's directory for temporary files ($TMPDIR, else /tmp); removed when
// the object goes.
class QEL_API CTemporaryFile {
 public:
  // The file's name starts with prefix.  IOException with the system's
  // reason when no file can be made.
  explicit CTemporaryFile(const std::string& prefix);
  CTemporaryFile(const CTemporaryFile&) = delete;
  CTemporaryFile& operator=(const CTemporaryFile&) = delete;
  ~CTemporaryFile();

  const CFile& getFile() const { return _file; }
  // The host path, as the system names the file.
  const std::string& getHostPath() const { return _sHostPath; }

 private:
  std::string _sHostPath;
  CFile _file;
};

}  // namespace qel

#endif  // QEL_IO_TEMPORARYFILE_H_
