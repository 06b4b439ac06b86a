#include "qel/io/FileStream.h"

#include "qel/core/Exception.h"

namespace qel {

namespace {

void requireName(const std::wstring& name) {
  if (name.empty()) {
    throw IOException(L"File Name is empty.");
  }
}

// Drops the descriptor, which closes the file when nobody else holds it.
void closeDescriptor(SmartPtr<CFileDescriptor>& descriptor) {
  if (!descriptor) {
    throw IOException(L"Stream already closed.");
  }
  descriptor.reset();
}

}  // namespace

CFileInputStream::CFileInputStream(const CFile& file) {
  open(file.getPath());
}

CFileInputStream::CFileInputStream(const std::wstring& name) {
  open(name);
}

CFileInputStream::~CFileInputStream() = default;

void CFileInputStream::open(const std::wstring& name) {
  SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  requireName(name);
  if ((fileSystem->getFileAttributeFlags(name) & CFileSystem::FA_DIRECTORY) != 0) {
    throw IOException(name + L" is a Directory.");
  }
  SmartPtr<CFileDescriptor> descriptor =
      fileSystem->openFile(name, CFileSystem::ACCESS_READ, CFileSystem::CF_OPEN_EXISTING, 0);
  // A missing file opens as an empty descriptor; its length then throws
  // FileNotFoundException, and the descriptor goes with the stack.
  _nFileLength = fileSystem->getLength(name);
  if (!descriptor) {
    throw FileNotFoundException(name);
  }
  _pDescriptor = descriptor;
}

unsigned int CFileInputStream::onRead(unsigned char* buffer, unsigned int size,
                                      std::uint32_t* /*statusFlags*/) {
  if (!_pDescriptor) {
    throw IOException(L"Stream closed.");
  }
  return _pDescriptor->getFileSystem()->readFile(_pDescriptor.get(), buffer, size);
}

std::uint32_t CFileInputStream::onAvailable() {
  return _nFileLength;
}

void CFileInputStream::onClose() {
  closeDescriptor(_pDescriptor);
}

CFileOutputStream::CFileOutputStream(const CFile& file, bool append) {
  open(file.getAbsolutePath(), append);
}

CFileOutputStream::CFileOutputStream(const std::wstring& name, bool append) {
  open(name, append);
}

CFileOutputStream::~CFileOutputStream() = default;

void CFileOutputStream::open(const std::wstring& name, bool append) {
  requireName(name);
  SmartPtr<CFileSystem> fileSystem = CFileSystem::getFileSystem();
  _pDescriptor =
      fileSystem->openFile(name, CFileSystem::ACCESS_WRITE,
                           append ? CFileSystem::CF_OPEN_APPEND : CFileSystem::CF_CREATE_ALWAYS, 0);
}

unsigned int CFileOutputStream::onWrite(const unsigned char* buffer, unsigned int size) {
  if (!_pDescriptor) {
    throw IOException(L"Stream closed.");
  }
  return _pDescriptor->getFileSystem()->writeFile(_pDescriptor.get(), buffer, size);
}

void CFileOutputStream::onClose() {
  closeDescriptor(_pDescriptor);
}

}  // namespace qel
