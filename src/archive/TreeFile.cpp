#include <string>

#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/core/Exception.h"

namespace qel {

void CTreeFile::store(const CFile& file, CComposite& root) {
  const std::wstring target = file.getPath();
  if (target.empty()) {
    throw IOException(L"File name is empty");
  }
  SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  if ((fileSystem->getFileAttributeFlags(target) & CFileSystem::FA_DIRECTORY) != 0) {
    throw IOException(target + L" is a directory");
  }
  const std::wstring temporary = target + L".tmp";
  CFile temporaryFile(temporary);
  try {
    {
      CArchive ar(temporaryFile, CArchive::STORE);
      CArchive::RetError code = CArchive::RET_OK;
      root.serialize(ar, code);
      if (code != CArchive::RET_OK) {
        throw IOException(L"Storing the tree into " + target + L" failed with code " +
                          std::to_wstring(static_cast<int>(code)));
      }
      // The file system writes through to the disk: once the last block is
      // written and the file closed, the content is durable.
      ar.close();
    }
    // Replaces the previous file in one step (the directory is flushed).
    fileSystem->rename(temporaryFile.getPath(), target);
  } catch (...) {
    try {
      // Only a file is the store's own: a directory that happens to carry
      // the temporary name is what made the store fail, and it stays.
      if ((fileSystem->getFileAttributeFlags(temporaryFile.getPath()) & CFileSystem::FA_FILE) !=
          0) {
        fileSystem->deleteFile(temporaryFile.getPath());
      }
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

CTreeFile::LoadReport CTreeFile::load(const CFile& file, CComposite& root) {
  LoadReport report{CArchive::RET_END_OF_DATA, false, 0, 0};
  CFile source(file);
  CArchive ar(source, CArchive::LOAD);
  if (!ar.isLoaded()) {
    return report;
  }
  report.bFound = true;
  CArchive::RetError code = CArchive::RET_OK;
  root.serialize(ar, code);
  report.eCode = code;
  report.nRecord = ar.getRecordNumber();
  report.nOffset = ar.getRecordOffset();
  return report;
}

}  // namespace qel
