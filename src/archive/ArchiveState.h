#ifndef QEL_SRC_ARCHIVE_ARCHIVESTATE_H_
#define QEL_SRC_ARCHIVE_ARCHIVESTATE_H_

#include "archive/RecordReader.h"
#include "archive/RecordWriter.h"
#include "core/Compiler.h"
#include "qel/archive/Archive.h"
#include "qel/core/RefCount.h"
#include "qel/io/FileSystem.h"

namespace qel {

// What an archive holds: its file, and the writer or the reader of its
// records, as its mode says.
struct QEL_INTERNAL CArchive::State {
  explicit State(Mode mode) : eMode(mode) {}

  Mode eMode;
  bool bLoaded = false;
  bool bClosed = false;
  // False when the descriptor is a replacement's, which its owner commits.
  bool bOwnsFile = true;
  SmartPtr<CFileDescriptor> pFile;
  RecordWriter writer;
  RecordReader reader;
};

}  // namespace qel

#endif  // QEL_SRC_ARCHIVE_ARCHIVESTATE_H_
