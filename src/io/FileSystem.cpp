#include "qel/io/FileSystem.h"

#include <atomic>

#include "qel/core/Exception.h"
#include "qel/io/PosixFileSystem.h"

namespace qel {

CFileSystem* volatile CFileSystem::_pFileSystem = nullptr;

namespace {

CFileSystem* createDefault() {
  return new CPosixFileSystem();
}

std::atomic<CFileSystem::Factory> g_factory{nullptr};

}  // namespace

CLock& CFileSystem::creationLock() {
  // Never destroyed: file systems held by static objects may still go away
  // after the library's own statics.
  static CLock* lock = new CLock;
  return *lock;
}

CFileSystem::CFileSystem() = default;

CFileSystem::~CFileSystem() {
  // Only this instance is detached: an instance created after it was
  // detached by resetInstance() stays the shared one.
  CLockGuard guard(creationLock());
  if (_pFileSystem == this) {
    _pFileSystem = nullptr;
  }
}

std::wstring CFileSystem::getSeparator() const {
  return std::wstring(1, getSeparatorChar());
}

std::wstring CFileSystem::resolve(const std::wstring& parent, const std::wstring& child) const {
  if (parent.empty()) {
    return child;
  }
  if (parent.back() == getSeparatorChar()) {
    return parent + child;
  }
  return parent + getSeparator() + child;
}

std::wstring CFileSystem::resolve(const std::wstring& path) const {
  return resolve(getCurrentDirectory(), path);
}

SmartPtr<CFileDescriptor> CFileSystem::openReplacement(const std::wstring& path, int /*flags*/) {
  throw IOException(path + L": this file system cannot replace files");
}

void CFileSystem::commitReplacement(CFileDescriptor* /*descriptor*/) {
  throw IOException(L"This file system cannot replace files");
}

SmartPtr<CFileDescriptor> CFileSystem::lockFile(const std::wstring& path,
                                                std::uint32_t /*waitMilliseconds*/) {
  throw IOException(path + L": this file system cannot lock files");
}

SmartPtr<CFileSystem> CFileSystem::getFileSystem() {
  // The reference is taken under the lock, and an instance whose count has
  // already fallen to 0 is being destroyed: it counts as absent.  Its
  // destructor waits for this lock before the memory goes.
  CLockGuard guard(creationLock());
  CFileSystem* current = _pFileSystem;
  if (current != nullptr && current->tryAddRef()) {
    SmartPtr<CFileSystem> result(current);
    current->release();  // the SmartPtr holds its own reference now
    return result;
  }
  const Factory factory = g_factory.load();
  CFileSystem* created = factory != nullptr ? factory() : createDefault();
  _pFileSystem = created;
  return SmartPtr<CFileSystem>(created);
}

void CFileSystem::resetInstance() {
  CLockGuard guard(creationLock());
  _pFileSystem = nullptr;
}

CFileSystem::Factory CFileSystem::setFactory(Factory factory) {
  return g_factory.exchange(factory);
}

CFileDescriptor::CFileDescriptor(CFileSystem* fileSystem) : _pFileSystem(fileSystem) {}

CFileDescriptor::~CFileDescriptor() = default;

void CFileDescriptor::close() {
  if (_pFileSystem) {
    _pFileSystem->closeFile(this);
  }
}

SmartPtr<CFileSystem> CFileDescriptor::getFileSystem() const {
  return _pFileSystem;
}

}  // namespace qel
