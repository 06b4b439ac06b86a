#ifndef QEL_ARCHIVE_TREEFILE_H_
#define QEL_ARCHIVE_TREEFILE_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "qel/archive/Archive.h"
#include "qel/core/Export.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"

namespace qel {

class CComposite;

// Whole-tree storing and loading for applications and tools.
class QEL_API CTreeFile {
 public:
  struct LoadReport {
    // RET_OK when the root's end record was reached; otherwise the code that
    // stopped loading.  RET_END_OF_DATA when the file does not exist.
    CArchive::RetError eCode;
    // False when the file does not exist.
    bool bFound;
    // The record where loading stopped (1-based, 0 when none was read) and
    // the byte offset in the file at which that record starts.
    std::uint32_t nRecord;
    std::uint64_t nOffset;

    // The report in words: "malformed at record 3, byte offset 120: the
    // record's length, field count or a separator is damaged", "truncated
    // at ...", "no such file" or "a whole tree of 12 records".
    std::string message() const;
  };

  enum StoreFlag : int {
    // Replaces a target that no one may write instead of refusing it.
    STORE_REPLACE_READ_ONLY = CFileReplacement::REPLACE_READ_ONLY
  };

  // How long update waits for another process's update of the same file.
  static constexpr std::uint32_t DEFAULT_LOCK_WAIT = 10000;  // milliseconds

  // Stores root crash-safely through a CFileReplacement: the target (a
  // symbolic link is followed) is replaced in one step, keeps its
  // permissions, and stays as it was on any failure.  The tree is stored
  // exactly or not at all: a name or text value holding a line feed, or a
  // value over the field limit, throws IOException naming the component's
  // path ("network/proxy/host: ...").  A target that no one may write is
  // refused ("<path> is read-only") unless flags has
  // STORE_REPLACE_READ_ONLY; a directory or any other file that is not a
  // regular one is refused too.  A missing parent directory is created.
  static void store(const CFile& file, CComposite& root);
  static void store(const CFile& file, CComposite& root, int flags);
  // store for CFile(path), the host file path names byte for byte; throws
  // as store does.
  static void store(const std::filesystem::path& path, CComposite& root);
  static void store(const std::filesystem::path& path, CComposite& root, int flags);

  // Loads the records of file into root (children are added to those it
  // has).  Malformed content is reported, not thrown; InvalidDateException
  // and the file system's exceptions pass through.  A missing file creates
  // nothing and is reported as not found.
  static LoadReport load(const CFile& file, CComposite& root);
  // load for CFile(path), the host file path names byte for byte; reports
  // and throws as load does.
  static LoadReport load(const std::filesystem::path& path, CComposite& root);

  // A read-modify-write of file that no other update of it can interleave
  // with: takes the file's lock (waiting up to lockWaitMilliseconds, then
  // IOException "<path>: locked by another process"), loads the tree (a
  // missing or empty file gives an empty root), calls edit, stores the tree
  // as store does and releases the lock.  A file that does not load whole
  // (malformed, truncated, or followed by more records) throws IOException
  // with the record and byte offset, and is left as it is; so does any
  // exception from edit.  Readers take no lock: they see the old or the new
  // file.
  static void update(const CFile& file, const std::function<void(CComposite& root)>& edit);
  static void update(const CFile& file, const std::function<void(CComposite& root)>& edit,
                     std::uint32_t lockWaitMilliseconds, int flags);
  // update for CFile(path), the host file path names byte for byte; throws
  // as update does.
  static void update(const std::filesystem::path& path,
                     const std::function<void(CComposite& root)>& edit);
  static void update(const std::filesystem::path& path,
                     const std::function<void(CComposite& root)>& edit,
                     std::uint32_t lockWaitMilliseconds, int flags);
};

}  // namespace qel

#endif  // QEL_ARCHIVE_TREEFILE_H_
