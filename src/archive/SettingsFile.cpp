#include "qel/archive/SettingsFile.h"

#include <optional>

#include "archive/TreeLoad.h"
#include "core/Compiler.h"
#include "qel/core/Exception.h"
#include "qel/io/HostFileSystem.h"

namespace qel {

namespace {

// What tells the file at path from another one put in its place, or from
// its own changed content; nothing when there is no file.  A file system
// without stamps is told by size and modification date.
std::optional<SFileStamp> stampOf(const CFile& file) {
  const SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  const std::wstring path = file.getPath();
  const auto exists = [&fileSystem, &path] {
    return (fileSystem->getFileAttributeFlags(path) & CFileSystem::FA_EXISTS) != 0;
  };
  if (const auto* host = dynamic_cast<const CHostFileSystem*>(fileSystem.get())) {
    // One look at the file when it is there, as it mostly is.
    try {
      return host->getStamp(path);
    } catch (const IOException&) {
      if (!exists()) {
        return std::nullopt;
      }
      throw;
    }
  }
  if (!exists()) {
    return std::nullopt;
  }
  SFileStamp stamp;
  stamp.nSize = fileSystem->getLength(path);
  const CDateTime modified = fileSystem->getModificationDate(path);
  stamp.nModifiedNanoseconds =
      (static_cast<std::int64_t>(modified.getJD()) * 86400000 + modified.getms()) * 1000000;
  return stamp;
}

}  // namespace

struct QEL_INTERNAL CSettingsFile::State {
  explicit State(const CFile& target) : file(target) {}

  CFile file;
  CComposite root;
  bool bLoaded = false;
  // The file as it was loaded or last committed.
  std::optional<SFileStamp> stamp;
};

CSettingsFile::CSettingsFile(const std::filesystem::path& path) : _pState(new State(CFile(path))) {}

CSettingsFile::CSettingsFile(const CFile& file) : _pState(new State(file)) {}

CSettingsFile::~CSettingsFile() = default;

void CSettingsFile::load() {
  State& state = *_pState;
  // A writer may replace the file while it is read: the stamps before and
  // after tell, and the load is taken again.
  constexpr int kAttempts = 5;
  for (int attempt = 1;; ++attempt) {
    const std::optional<SFileStamp> before = stampOf(state.file);
    CComposite fresh;
    bool trailing = false;
    const CTreeFile::LoadReport report = loadTree(state.file, fresh, &trailing);
    const std::optional<SFileStamp> after = stampOf(state.file);
    if (before != after && attempt < kAttempts) {
      continue;
    }
    const std::wstring failure = wholeTreeFailure(state.file, report, trailing);
    if (!failure.empty()) {
      throw IOException(failure);
    }
    state.root.swapChildren(fresh);
    state.stamp = after;
    state.bLoaded = true;
    return;
  }
}

void CSettingsFile::reload() {
  load();
}

CComposite& CSettingsFile::root() {
  return _pState->root;
}

const CComposite& CSettingsFile::root() const {
  return _pState->root;
}

const CFile& CSettingsFile::file() const {
  return _pState->file;
}

void CSettingsFile::commit() {
  commit(CTreeFile::DEFAULT_LOCK_WAIT, 0);
}

void CSettingsFile::commit(std::uint32_t lockWaitMilliseconds, int storeFlags) {
  State& state = *_pState;
  const std::wstring path = state.file.getPath();
  if (!state.bLoaded) {
    throw IllegalStateException(path + L": commit before load");
  }
  if (path.empty()) {
    throw IOException(L"File name is empty");
  }
  // The lock of a missing file is taken on its directory.
  createParentDirectory(state.file);
  SmartPtr<CFileDescriptor> lock =
      CFileSystem::getFileSystem()->lockFile(path, lockWaitMilliseconds);
  if (stampOf(state.file) != state.stamp) {
    throw IOException(path + L": changed by another program since it was loaded");
  }
  CTreeFile::store(state.file, state.root, storeFlags);
  state.stamp = stampOf(state.file);
  lock->close();
}

bool CSettingsFile::changedOnDisk() const {
  return stampOf(_pState->file) != _pState->stamp;
}

}  // namespace qel
