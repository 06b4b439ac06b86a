#ifndef QEL_IO_FILESTREAM_H_
#define QEL_IO_FILESTREAM_H_

#include <cstdint>
#include <string>

#include "qel/core/Export.h"
#include "qel/core/RefCount.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "qel/io/Stream.h"

namespace qel {

// Reads a file through the file system that opened it.  A missing file
// throws FileNotFoundException, a directory IOException "name is a
// Directory.", an empty name IOException "File Name is empty.".
class QEL_API CFileInputStream : public CInputStreamImpl<CFileInputStream, IInputStream> {
 public:
  explicit CFileInputStream(const CFile& file);
  // The name goes to the file system as it is.
  explicit CFileInputStream(const std::wstring& name);
  ~CFileInputStream();
  CFileInputStream(const CFileInputStream&) = delete;
  CFileInputStream& operator=(const CFileInputStream&) = delete;

  // One read of the file; "Stream closed." once closed.
  unsigned int onRead(unsigned char* buffer, unsigned int size, std::uint32_t* statusFlags);
  // The length measured at opening.
  std::uint32_t onAvailable();
  // "Stream already closed." the second time.
  void onClose();

 protected:
  void open(const std::wstring& name);

 private:
  SmartPtr<CFileDescriptor> _pDescriptor;
  std::uint32_t _nFileLength = 0;
};

// Writes a file, from its start (created or truncated) or after its
// contents (append).  Writes go through to the disk, so flush does nothing.
class QEL_API CFileOutputStream : public COutputStreamImpl<CFileOutputStream, IOutputStream> {
 public:
  CFileOutputStream(const CFile& file, bool append);
  CFileOutputStream(const std::wstring& name, bool append);
  ~CFileOutputStream();
  CFileOutputStream(const CFileOutputStream&) = delete;
  CFileOutputStream& operator=(const CFileOutputStream&) = delete;

  // One write; the count may be short.  "Stream closed." once closed.
  unsigned int onWrite(const unsigned char* buffer, unsigned int size);
  void onClose();

 protected:
  void open(const std::wstring& name, bool append);

 private:
  SmartPtr<CFileDescriptor> _pDescriptor;
};

}  // namespace qel

#endif  // QEL_IO_FILESTREAM_H_
