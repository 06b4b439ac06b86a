#ifndef QEL_ARCHIVE_SETTINGSFILE_H_
#define QEL_ARCHIVE_SETTINGSFILE_H_

#include <cstdint>
#include <filesystem>
#include <memory>

#include "qel/archive/Component.h"
#include "qel/archive/TreeFile.h"
#include "qel/core/Export.h"
#include "qel/io/File.h"

namespace qel {

// An application's settings file: its tree, loaded whole, edited in memory
// and committed crash-safely, refusing to overwrite what another program
// committed in between.
//
//   CSettingsFile settings(std::filesystem::path("/home/u/.config/app.qel"));
//   settings.load();
//   tree::setText(settings.root(), "network/proxy/port", "8443");
//   settings.commit();
class QEL_API CSettingsFile {
 public:
  // The file at path (every byte of its name kept); nothing is read yet.
  explicit CSettingsFile(const std::filesystem::path& path);
  explicit CSettingsFile(const CFile& file);
  CSettingsFile(const CSettingsFile&) = delete;
  CSettingsFile& operator=(const CSettingsFile&) = delete;
  ~CSettingsFile();

  // Reads the file into root(), replacing what it held: a missing or empty
  // file gives an empty root.  A file that is not one whole tree throws
  // IOException naming the file, the record and the byte offset and saying
  // what is wrong ("<path>: truncated at record 3, byte offset 120: the file
  // ends before the tree does"), and root() stays as it was; so do the file
  // system's exceptions.
  void load();
  // load again, dropping the changes not committed.
  void reload();

  // The tree, empty until load.
  CComposite& root();
  const CComposite& root() const;
  const CFile& file() const;

  // Stores root() as CTreeFile::store does (crash-safely, the target
  // replaced in one step or not at all), holding the lock that
  // CTreeFile::update takes (IOException "<path>: locked by another
  // process" after waiting lockWaitMilliseconds).  When the file changed on
  // disk since it was loaded or last committed, throws IOException
  // "<path>: changed by another program since it was loaded" and writes
  // nothing; reload, edit again and commit.  IllegalStateException before
  // the first load.
  void commit();
  void commit(std::uint32_t lockWaitMilliseconds, int storeFlags);
  // Whether the file on disk is no longer the one loaded or last committed
  // (another program replaced, changed, created or removed it).
  bool changedOnDisk() const;

 private:
  struct State;
  std::unique_ptr<State> _pState;
};

}  // namespace qel

#endif  // QEL_ARCHIVE_SETTINGSFILE_H_
