#ifndef QEL_IO_FILEREPLACEMENT_H_
#define QEL_IO_FILEREPLACEMENT_H_

#include <cstddef>

#include "qel/core/Export.h"
#include "qel/core/RefCount.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"

namespace qel {

// Writes a file whole and puts it in place of the old one in one step: a
// reader sees the old content or the new, never a mixture, and a crash, a
// full disk or any other failure leaves the old file as it was.
//
// The new content goes to a private file (mode 0600) with an unpredictable
// name in the directory of the file the target's path leads to (symbolic
// links are followed and stay links).  commit() flushes it to the disk,
// gives it the old file's mode (and owner and group where the process may
// set them; a new file gets 0666 less the umask), renames it over the old
// one and flushes the directory.  Without a commit, the destructor or
// discard() removes it.
//
//   CFileReplacement out(CFile(L"/etc/app/settings.qel"));
//   out.write(bytes, size);
//   out.commit();
//
// Errors are IOException (FileNotFoundException for a missing directory)
// naming the target's path and the system's reason.
class QEL_API CFileReplacement {
 public:
  enum Flag : int {
    // Replaces a file that no one may write, instead of refusing it with
    // "<path> is read-only".
    REPLACE_READ_ONLY = CFileSystem::RF_REPLACE_READ_ONLY,
    // An existing FIFO or character device is written directly as a stream
    // (the commit writes the rest), instead of being refused as "<path> is
    // not a regular file".
    STREAM_SPECIAL_FILES = CFileSystem::RF_STREAM_SPECIAL_FILES
  };

  explicit CFileReplacement(const CFile& target, int flags = 0);
  ~CFileReplacement();
  CFileReplacement(const CFileReplacement&) = delete;
  CFileReplacement& operator=(const CFileReplacement&) = delete;

  // Appends to the new content; the whole range or an exception.
  void write(const void* data, std::size_t size);
  // Puts the new content in place.  Once it has been called, whether it
  // succeeded or threw, nothing more can be written.
  void commit();
  // Drops the new content; the target stays as it was.  Does nothing after
  // a commit.
  void discard();

  const CFile& getTarget() const { return _target; }
  // The descriptor that write() writes through, for writers that take one;
  // null once committed or discarded.
  CFileDescriptor* getDescriptor() const { return _pDescriptor.get(); }

 private:
  CFile _target;
  SmartPtr<CFileSystem> _pFileSystem;
  SmartPtr<CFileDescriptor> _pDescriptor;
};

}  // namespace qel

#endif  // QEL_IO_FILEREPLACEMENT_H_
