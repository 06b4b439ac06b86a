#include "qel/io/HostFileSystem.h"

#include <functional>
#include <vector>

#include "core/Codecs.h"
#include "io/Replacement.h"
#include "os/HostFile.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"

namespace qel {

using platform::HostFile;

CWin32FileDescriptor::CWin32FileDescriptor(CFileSystem* fileSystem, void* handle)
    : CFileDescriptor(fileSystem), _pHandle(handle) {}

CWin32FileDescriptor::~CWin32FileDescriptor() {
  auto* file = static_cast<HostFile*>(_pHandle);
  if (file != nullptr && file->isOpen() && _pFileSystem) {
    try {
      _pFileSystem->closeFile(this);
    } catch (...) {
      // A destructor cannot report the failure of the last close.
    }
  }
  delete file;
}

namespace {

bool meansNotFound(std::uint32_t code) {
  return code == platform::kFileNotFound || code == platform::kPathNotFound ||
         code == platform::kBadPathName;
}

}  // namespace

void CHostFileSystem::ThrowException(std::uint32_t code, const std::wstring& name) {
  if (code == platform::kFileExists) {
    throw IOException(name + L" Already exist.");
  }
  if (meansNotFound(code)) {
    throw FileNotFoundException(name);
  }
  throw IOException(name);
}

void CHostFileSystem::ThrowFailure(std::uint32_t code, const std::wstring& path) {
  const std::wstring message = path + L": " + CWin32Helper::fromUTF8(platform::hostErrorText(code));
  if (meansNotFound(code)) {
    throw FileNotFoundException(message);
  }
  throw IOException(message);
}

void CHostFileSystem::throwFileFailure(CFileDescriptor* descriptor, std::uint32_t code,
                                       const wchar_t* operation) const {
  if (auto* replacement = dynamic_cast<CReplacementDescriptor*>(descriptor)) {
    ThrowFailure(code, replacement->path());
  }
  ThrowException(code, label(operation));
}

std::wstring CHostFileSystem::label(const wchar_t* operation) const {
  return std::wstring(className()) + L"::" + operation;
}

std::wstring CHostFileSystem::getFolderLocation(FolderType type) const {
  return type == FOLDER_CURRENT ? getCurrentDirectory() : std::wstring();
}

int CHostFileSystem::getFileAttributeFlags(const std::wstring& path) const {
  std::string host;
  platform::HostAttributes attributes;
  if (toHostPath(path, host) != platform::kHostOk ||
      platform::hostGetAttributes(host, &attributes, platform::kAttributesHidden) !=
          platform::kHostOk) {
    return 0;
  }
  int flags = attributes.directory ? (FA_EXISTS | FA_DIRECTORY) : (FA_EXISTS | FA_FILE);
  if (attributes.hidden) {
    flags |= FA_HIDDEN;
  }
  if (attributes.readOnly) {
    flags |= FA_READONLY;
  }
  return flags;
}

bool CHostFileSystem::checkAccess(const std::wstring& path, AccessMode mode) const {
  const int flags = getFileAttributeFlags(path);
  return flags != 0 && (mode == ACCESS_READ || (flags & FA_READONLY) == 0);
}

CDateTime CHostFileSystem::timeStamp(const std::wstring& path, bool creation) const {
  CDateTime result;
  result.forceGMT(true);
  std::string host;
  platform::HostAttributes attributes;
  if (toHostPath(path, host) != platform::kHostOk ||
      platform::hostGetAttributes(host, &attributes, platform::kAttributesTimes) !=
          platform::kHostOk) {
    throw FileNotFoundException(path);
  }
  const platform::HostTime& t = creation ? attributes.created : attributes.modified;
  result.setDate(static_cast<unsigned short>(t.year), static_cast<unsigned short>(t.month),
                 static_cast<unsigned short>(t.day));
  result.setTime(static_cast<unsigned short>(t.hour), static_cast<unsigned short>(t.minute),
                 static_cast<unsigned short>(t.second), static_cast<unsigned short>(t.millisecond));
  return result;
}

CDateTime CHostFileSystem::getCreationDate(const std::wstring& path) const {
  return timeStamp(path, true);
}

CDateTime CHostFileSystem::getModificationDate(const std::wstring& path) const {
  return timeStamp(path, false);
}

std::uint32_t CHostFileSystem::getLength(const std::wstring& path) const {
  std::string host;
  platform::HostAttributes attributes;
  if (toHostPath(path, host) != platform::kHostOk ||
      platform::hostGetAttributes(host, &attributes, platform::kAttributesOfStat) !=
          platform::kHostOk) {
    throw FileNotFoundException(path);
  }
  return static_cast<std::uint32_t>(attributes.size);  // the low 32 bits
}

SFileStamp CHostFileSystem::getStamp(const std::wstring& path) const {
  std::string host;
  std::uint32_t code = toHostPath(path, host);
  platform::HostAttributes attributes;
  if (code == platform::kHostOk) {
    code = platform::hostGetAttributes(host, &attributes, platform::kAttributesOfStat);
  }
  if (code != platform::kHostOk) {
    ThrowFailure(code, path);
  }
  SFileStamp stamp;
  stamp.nDevice = attributes.device;
  stamp.nFile = attributes.fileNumber;
  stamp.nSize = attributes.size;
  stamp.nModifiedNanoseconds = attributes.modifiedNanoseconds;
  stamp.nChangedNanoseconds = attributes.changedNanoseconds;
  return stamp;
}

void CHostFileSystem::onHostPath(
    const std::wstring& path,
    const std::function<std::uint32_t(const std::string&)>& operation) const {
  std::string host;
  std::uint32_t code = toHostPath(path, host);
  if (code == platform::kHostOk) {
    code = operation(host);
  }
  if (code != platform::kHostOk) {
    ThrowException(code, path);
  }
}

void CHostFileSystem::setReadOnly(const std::wstring& path, bool readOnly) const {
  onHostPath(path, [readOnly](const std::string& host) {
    return platform::hostSetReadOnly(host, readOnly);
  });
}

void CHostFileSystem::deleteFile(const std::wstring& path) const {
  const bool directory = (getFileAttributeFlags(path) & FA_DIRECTORY) != 0;
  onHostPath(
      path, [directory](const std::string& host) { return platform::hostDelete(host, directory); });
}

void CHostFileSystem::listDirectory(const std::wstring& path, const std::wstring& filter,
                                    std::list<std::wstring>& names) const {
  // The search pattern is path, a separator and filter; its last component
  // is the wildcard pattern, the rest names the directory.
  const std::wstring pattern = path + getSeparatorChar() + filter;
  const std::size_t split = pattern.find_last_of(std::wstring{getSeparatorChar(), L'/'});
  std::string host;
  std::string hostFilter;
  if (toHostPath(pattern.substr(0, split + 1), host) != platform::kHostOk ||
      !codec::encodeHostName(pattern.substr(split + 1), hostFilter)) {
    return;
  }
  std::vector<std::string> found;
  if (platform::hostListDirectory(host, hostFilter, isCaseSensitive(), found) !=
      platform::kHostOk) {
    return;
  }
  for (const std::string& name : found) {
    names.push_back(codec::decodeHostName(name));
  }
}

void CHostFileSystem::createDirectory(const std::wstring& path) const {
  onHostPath(path, [](const std::string& host) { return platform::hostCreateDirectory(host); });
}

void CHostFileSystem::rename(const std::wstring& from, const std::wstring& to) const {
  std::string hostFrom;
  std::string hostTo;
  std::uint32_t code = toHostPath(from, hostFrom);
  if (code == platform::kHostOk) {
    code = toHostPath(to, hostTo);
  }
  if (code == platform::kHostOk) {
    code = platform::hostRename(hostFrom, hostTo);
  }
  if (code != platform::kHostOk) {
    ThrowException(code, label(L"rename"));
  }
}

std::wstring CHostFileSystem::filterFilename(const std::wstring& name) const {
  std::wstring result = name;
  for (std::size_t at = result.find(L"./"); at != std::wstring::npos; at = result.find(L"./")) {
    result.erase(at, 2);
  }
  for (std::size_t at = result.find(L'/'); at != std::wstring::npos; at = result.find(L'/')) {
    result.erase(at, 1);
  }
  return result;
}

SmartPtr<CFileDescriptor> CHostFileSystem::openFile(const std::wstring& path, int access,
                                                    CreationFlag creation, int attributes) {
  platform::HostOpenRequest request;
  request.read = (access & ACCESS_READ) != 0;
  request.write = (access & ACCESS_WRITE) != 0;
  switch (creation) {
    case CF_OPEN_EXISTING:
      request.disposition = platform::HostDisposition::kOpenExisting;
      break;
    case CF_OPEN_APPEND:
      request.disposition = platform::HostDisposition::kOpenAlways;
      request.appendAtEnd = true;
      break;
    case CF_CREATE_NEW:
      request.disposition = platform::HostDisposition::kCreateNew;
      break;
    case CF_CREATE_ALWAYS:
      request.disposition = platform::HostDisposition::kCreateAlways;
      break;
    default:
      ThrowException(platform::kInvalidParameter, path);
  }
  request.durableAtClose = (attributes & OF_DURABLE_AT_CLOSE) != 0;
  request.readAhead = (attributes & OF_SEQUENTIAL_READ) != 0;
  if (creation == CF_CREATE_NEW || creation == CF_CREATE_ALWAYS) {
    request.createReadOnly = (attributes & FA_READONLY) != 0;
    request.createHidden = (attributes & FA_HIDDEN) != 0;
  }
  std::string host;
  std::uint32_t code = toHostPath(path, host);
  HostFile* file = nullptr;
  if (code == platform::kHostOk) {
    code = HostFile::open(host, request, &file);
  }
  if (code != platform::kHostOk) {
    if (creation == CF_OPEN_EXISTING && code == platform::kFileNotFound) {
      return SmartPtr<CFileDescriptor>();
    }
    ThrowException(code, path);
  }
  return SmartPtr<CFileDescriptor>(new CWin32FileDescriptor(this, file));
}

HostFile* CHostFileSystem::hostFileOf(CFileDescriptor* descriptor, const wchar_t* operation) const {
  auto* own = dynamic_cast<CWin32FileDescriptor*>(descriptor);
  if (own == nullptr || own->getHandle() == nullptr) {
    ThrowException(platform::kInvalidHandle, label(operation));
  }
  return static_cast<HostFile*>(own->getHandle());
}

std::uint32_t CHostFileSystem::readFile(CFileDescriptor* descriptor, unsigned char* buffer,
                                        std::uint32_t size) const {
  std::uint32_t count = 0;
  const std::uint32_t code = hostFileOf(descriptor, L"readFile")->read(buffer, size, &count);
  if (code != platform::kHostOk) {
    throwFileFailure(descriptor, code, L"readFile");
  }
  return count;
}

std::uint32_t CHostFileSystem::writeFile(CFileDescriptor* descriptor, const unsigned char* buffer,
                                         std::uint32_t size) const {
  std::uint32_t count = 0;
  const std::uint32_t code = hostFileOf(descriptor, L"writeFile")->write(buffer, size, &count);
  if (code != platform::kHostOk) {
    throwFileFailure(descriptor, code, L"writeFile");
  }
  return count;
}

void CHostFileSystem::closeFile(CFileDescriptor* descriptor) const {
  if (auto* lock = dynamic_cast<CLockDescriptor*>(descriptor)) {
    lock->close();
    return;
  }
  HostFile* file = hostFileOf(descriptor, L"closeFile");
  auto* replacement = dynamic_cast<CReplacementDescriptor*>(descriptor);
  const std::uint32_t code = replacement != nullptr ? replacement->discard() : file->close();
  if (code != platform::kHostOk) {
    throwFileFailure(descriptor, code, L"closeFile");
  }
}

}  // namespace qel
