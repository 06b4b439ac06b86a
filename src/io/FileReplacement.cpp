#include "qel/io/FileReplacement.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "qel/core/Exception.h"

namespace qel {

CFileReplacement::CFileReplacement(const CFile& target, int flags)
    : _target(target), _pFileSystem(CFileSystem::getFileSystem()) {
  if (_target.getPath().empty()) {
    throw IOException(L"File name is empty");
  }
  _pDescriptor = _pFileSystem->openReplacement(_target.getPath(), flags);
}

CFileReplacement::~CFileReplacement() {
  try {
    discard();
  } catch (...) {
    // Removing the unfinished file is all that is left to do; a failure
    // of that cannot be reported from here.
  }
}

void CFileReplacement::write(const void* data, std::size_t size) {
  if (!_pDescriptor) {
    throw IOException(_target.getPath() + L": the replacement is closed");
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size != 0) {
    const auto piece = static_cast<std::uint32_t>(
        std::min<std::size_t>(size, std::numeric_limits<std::int32_t>::max()));
    const std::uint32_t written = _pFileSystem->writeFile(_pDescriptor.get(), bytes, piece);
    if (written == 0 || written > piece) {
      // A write that takes nothing means the disk takes nothing more.
      throw IOException(_target.getPath() + L": No space left on device");
    }
    bytes += written;
    size -= written;
  }
}

void CFileReplacement::commit() {
  if (!_pDescriptor) {
    throw IOException(_target.getPath() + L": the replacement is closed");
  }
  SmartPtr<CFileDescriptor> descriptor = _pDescriptor;
  _pDescriptor = nullptr;
  // A failed commit has removed the new file itself; the descriptor goes
  // with the last reference.
  _pFileSystem->commitReplacement(descriptor.get());
}

void CFileReplacement::discard() {
  if (!_pDescriptor) {
    return;
  }
  SmartPtr<CFileDescriptor> descriptor = _pDescriptor;
  _pDescriptor = nullptr;
  descriptor->close();
}

}  // namespace qel
