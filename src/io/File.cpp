#include "qel/io/File.h"

#include <type_traits>
#include <vector>

#include "core/Codecs.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"

namespace qel {

namespace {

wchar_t sharedSeparator() {
  return CFileSystem::getFileSystem()->getSeparatorChar();
}

}  // namespace

CFile::CFile(const std::wstring& path) : _pFileSystem(CFileSystem::getFileSystem()) {
  _sPath = _pFileSystem->isAbsolute(path) ? path : _pFileSystem->resolve(path);
  _nPrefixLength = _pFileSystem->getPrefixLength(_sPath);
}

CFile::CFile(const wchar_t* path)
    : CFile(path != nullptr ? std::wstring(path)
                            : throw IOException(L"CFile: no path (a null pointer)")) {}

namespace {

// The wide text of a host path: its bytes where the host's paths are
// narrow, its characters where they are wide already.
template <typename Native>
std::wstring wideOf(const Native& native) {
  if constexpr (std::is_same<typename Native::value_type, char>::value) {
    return codec::decodeHostName(native);
  } else {
    return std::wstring(native.begin(), native.end());
  }
}

}  // namespace

CFile::CFile(const std::filesystem::path& path) : CFile(wideOf(path.native())) {}

CFile::CFile(const std::wstring& parent, const std::wstring& child)
    : _pFileSystem(CFileSystem::getFileSystem()) {
  _sPath = _pFileSystem->isAbsolute(child) ? child : _pFileSystem->resolve(parent, child);
  _nPrefixLength = _pFileSystem->getPrefixLength(_sPath);
}

CFile::CFile(const CFile& other) = default;
CFile& CFile::operator=(const CFile& other) = default;
CFile::~CFile() = default;

bool CFile::operator==(const CFile& other) const {
  if (_pFileSystem->isCaseSensitive()) {
    return _sPath == other._sPath;
  }
  return CStringHelper::compareNoCase(_sPath, other._sPath) == 0;
}

bool CFile::operator!=(const CFile& other) const {
  return !(*this == other);
}

std::wstring CFile::getPath() const {
  return _sPath;
}

std::filesystem::path CFile::toPath() const {
  if constexpr (std::is_same<std::filesystem::path::value_type, char>::value) {
    std::string host;
    if (!codec::encodeHostName(_sPath, host)) {
      throw IOException(_sPath + L": no host name");
    }
    return std::filesystem::path(host);
  } else {
    return std::filesystem::path(_sPath);
  }
}

std::wstring CFile::getAbsolutePath() const {
  return _pFileSystem->isAbsolute(_sPath) ? _sPath : _pFileSystem->resolve(_sPath);
}

bool CFile::isAbsolute() const {
  return _pFileSystem->isAbsolute(_sPath);
}

bool CFile::exists() const {
  return (_pFileSystem->getFileAttributeFlags(_sPath) & CFileSystem::FA_EXISTS) != 0;
}

bool CFile::isFile() const {
  return (_pFileSystem->getFileAttributeFlags(_sPath) & CFileSystem::FA_FILE) != 0;
}

bool CFile::isDirectory() const {
  return (_pFileSystem->getFileAttributeFlags(_sPath) & CFileSystem::FA_DIRECTORY) != 0;
}

bool CFile::canRead() const {
  return _pFileSystem->checkAccess(_sPath, CFileSystem::ACCESS_READ);
}

bool CFile::canWrite() const {
  return _pFileSystem->checkAccess(_sPath, CFileSystem::ACCESS_WRITE);
}

std::uint32_t CFile::length() const {
  return _pFileSystem->getLength(_sPath);
}

CDateTime CFile::getModificationDate() const {
  return _pFileSystem->getModificationDate(_sPath);
}

std::wstring CFile::getName() const {
  const std::size_t last = _sPath.rfind(sharedSeparator());
  const std::size_t start = last == std::wstring::npos ? _nPrefixLength : last + 1;
  return start >= _sPath.size() ? std::wstring() : _sPath.substr(start);
}

std::wstring CFile::getParent() const {
  std::size_t last = _sPath.rfind(sharedSeparator());
  if (last == std::wstring::npos) {
    return std::wstring();
  }
  if (last < _nPrefixLength) {
    last = _nPrefixLength;
  }
  return _sPath.substr(0, last);
}

void CFile::deleteFile() const {
  _pFileSystem->deleteFile(_sPath);
}

void CFile::createNewFile() const {
  // The descriptor goes at once, which closes the new, empty file.
  _pFileSystem->openFile(_sPath, CFileSystem::ACCESS_WRITE, CFileSystem::CF_CREATE_NEW, 0);
}

void CFile::mkdirs() const {
  const wchar_t sep = sharedSeparator();
  std::vector<std::wstring> fields;
  CStringHelper::split(_sPath.substr(_nPrefixLength), sep, fields);
  std::wstring current = _sPath.substr(0, _nPrefixLength);
  for (const std::wstring& field : fields) {
    // A separator follows any non-empty prefix, so a root such as C:\ is
    // followed by a second one (C:\\a), which the path parser accepts.
    if (!current.empty()) {
      current += sep;
    }
    current += field;
    if ((_pFileSystem->getFileAttributeFlags(current) & CFileSystem::FA_EXISTS) == 0) {
      _pFileSystem->createDirectory(current);
    }
  }
}

void CFile::renameTo(const CFile& destination) const {
  _pFileSystem->rename(_sPath, destination.getPath());
}

void CFile::listDirectory(std::list<std::wstring>& names) const {
  if ((_pFileSystem->getFileAttributeFlags(_sPath) & CFileSystem::FA_DIRECTORY) != 0) {
    _pFileSystem->listDirectory(_sPath, L"*", names);
  }
}

std::wstring CFile::getSeparator() {
  return CFileSystem::getFileSystem()->getSeparator();
}

wchar_t CFile::getSeparatorChar() {
  return sharedSeparator();
}

std::wstring CFile::getCurrentDirectory() {
  return CFileSystem::getFileSystem()->getCurrentDirectory();
}

std::wstring CFile::getFolderLocation(CFileSystem::FolderType type) {
  return CFileSystem::getFileSystem()->getFolderLocation(type);
}

}  // namespace qel
