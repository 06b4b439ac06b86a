#include <string>

#include "archive/TreeLoad.h"
#include "qel/archive/Component.h"
#include "qel/archive/TreeFile.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "qel/io/FileReplacement.h"

namespace qel {

CTreeFile::LoadReport loadTree(const CFile& file, CComposite& root, bool* trailing) {
  CTreeFile::LoadReport report{CArchive::RET_END_OF_DATA, false, 0, 0};
  // Constructing a loading archive would create a missing parent directory.
  if (!file.getPath().empty() && !file.exists()) {
    return report;
  }
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
  if (trailing != nullptr && code == CArchive::RET_OK) {
    CArchive::RetError next = CArchive::RET_OK;
    ar.readStartLine(next);
    if (next == CArchive::RET_END_OF_DATA) {
      // Too few bytes for a record are more than the tree, too.
      next = CArchive::RET_OK;
      ar.checkLengthAndLoadNext(1, next);
      next = next == CArchive::RET_OK ? CArchive::RET_BAD_FORMAT : CArchive::RET_END_OF_DATA;
    }
    *trailing = next != CArchive::RET_END_OF_DATA;
    if (*trailing) {
      report.nRecord = ar.getRecordNumber();
      report.nOffset = ar.getRecordOffset();
    }
  }
  return report;
}

void createParentDirectory(const CFile& file) {
  SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  const std::wstring parent = file.getParent();
  if (!parent.empty() &&
      (fileSystem->getFileAttributeFlags(parent) & CFileSystem::FA_EXISTS) == 0) {
    fileSystem->createDirectory(parent);
  }
}

std::wstring wholeTreeFailure(const CFile& file, const CTreeFile::LoadReport& report,
                              bool trailing) {
  const bool empty = report.bFound && report.eCode == CArchive::RET_END_OF_DATA &&
                     report.nOffset == 0 && file.length() == 0;
  if (!report.bFound || empty || (report.eCode == CArchive::RET_OK && !trailing)) {
    return std::wstring();
  }
  const std::string words = trailing ? "more records after the end of the tree at record " +
                                           std::to_string(report.nRecord) + ", byte offset " +
                                           std::to_string(report.nOffset)
                                     : report.message();
  return file.getPath() + L": " + CWin32Helper::fromUTF8(words);
}

std::string CTreeFile::LoadReport::message() const {
  if (!bFound) {
    return "no such file";
  }
  const std::string where =
      " at record " + std::to_string(nRecord) + ", byte offset " + std::to_string(nOffset);
  switch (eCode) {
    case CArchive::RET_OK:
      return "a whole tree of " + std::to_string(nRecord) + " records";
    case CArchive::RET_END_OF_DATA:
      return "truncated" + where + ": the file ends before the tree does";
    case CArchive::RET_WRONG_TYPE:
      return "malformed" + where + ": a field does not hold the type its record needs";
    case CArchive::RET_END_OF_LINE:
      return "malformed" + where + ": the record has fewer fields than its kind needs";
    default:
      return "malformed" + where + ": the record's length, field count or a separator is damaged";
  }
}

void CTreeFile::store(const CFile& file, CComposite& root) {
  store(file, root, 0);
}

void CTreeFile::store(const CFile& file, CComposite& root, int flags) {
  const std::wstring target = file.getPath();
  if (target.empty()) {
    throw IOException(L"File name is empty");
  }
  createParentDirectory(file);
  CFileReplacement replacement(file, flags & STORE_REPLACE_READ_ONLY);
  {
    CArchive ar(replacement);
    ar.setStrict(true);
    CArchive::RetError code = CArchive::RET_OK;
    root.serialize(ar, code);
    if (code != CArchive::RET_OK) {
      throw IOException(L"Storing the tree into " + target + L" failed with code " +
                        std::to_wstring(static_cast<int>(code)));
    }
    ar.close();
  }
  replacement.commit();
}

CTreeFile::LoadReport CTreeFile::load(const CFile& file, CComposite& root) {
  return loadTree(file, root, nullptr);
}

void CTreeFile::update(const CFile& file, const std::function<void(CComposite& root)>& edit) {
  update(file, edit, DEFAULT_LOCK_WAIT, 0);
}

void CTreeFile::update(const CFile& file, const std::function<void(CComposite& root)>& edit,
                       std::uint32_t lockWaitMilliseconds, int flags) {
  const std::wstring path = file.getPath();
  if (path.empty()) {
    throw IOException(L"File name is empty");
  }
  SmartPtr<CFileDescriptor> lock =
      CFileSystem::getFileSystem()->lockFile(path, lockWaitMilliseconds);
  CComposite root;
  bool trailing = false;
  const LoadReport report = loadTree(file, root, &trailing);
  const std::wstring failure = wholeTreeFailure(file, report, trailing);
  if (!failure.empty()) {
    throw IOException(failure);
  }
  edit(root);
  store(file, root, flags);
  lock->close();
}

void CTreeFile::store(const std::filesystem::path& path, CComposite& root) {
  store(CFile(path), root, 0);
}

void CTreeFile::store(const std::filesystem::path& path, CComposite& root, int flags) {
  store(CFile(path), root, flags);
}

CTreeFile::LoadReport CTreeFile::load(const std::filesystem::path& path, CComposite& root) {
  return loadTree(CFile(path), root, nullptr);
}

void CTreeFile::update(const std::filesystem::path& path,
                       const std::function<void(CComposite& root)>& edit) {
  update(CFile(path), edit, DEFAULT_LOCK_WAIT, 0);
}

void CTreeFile::update(const std::filesystem::path& path,
                       const std::function<void(CComposite& root)>& edit,
                       std::uint32_t lockWaitMilliseconds, int flags) {
  update(CFile(path), edit, lockWaitMilliseconds, flags);
}

}  // namespace qel
