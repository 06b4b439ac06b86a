// Replacing and locking files through the host layer.
#include "io/Replacement.h"
#include "qel/core/Exception.h"
#include "qel/io/HostFileSystem.h"

namespace qel {

using platform::HostFile;
using platform::HostTarget;

SmartPtr<CFileDescriptor> CHostFileSystem::openReplacement(const std::wstring& path, int flags) {
  std::string host;
  HostTarget target;
  std::uint32_t code = toHostPath(path, host);
  if (code == platform::kHostOk) {
    code = platform::hostResolveTarget(host, &target);
  }
  if (code != platform::kHostOk) {
    ThrowFailure(code, path);
  }
  HostFile* file = nullptr;
  std::string temporary;
  switch (target.kind) {
    case HostTarget::kDirectory:
      throw IOException(path + L" is a directory");
    case HostTarget::kFifo:
    case HostTarget::kCharDevice:
      if ((flags & RF_STREAM_SPECIAL_FILES) == 0) {
        throw IOException(path + L" is not a regular file");
      }
      code = HostFile::openStream(target, &file);
      break;
    case HostTarget::kOther:
      throw IOException(path + L" is not a regular file");
    case HostTarget::kRegular:
      if (target.readOnly && (flags & RF_REPLACE_READ_ONLY) == 0) {
        throw IOException(path + L" is read-only");
      }
      code = HostFile::createTemporary(target, &file, &temporary);
      break;
    case HostTarget::kMissing:
      code = HostFile::createTemporary(target, &file, &temporary);
      break;
  }
  if (code != platform::kHostOk) {
    ThrowFailure(code, path);
  }
  return SmartPtr<CFileDescriptor>(new CReplacementDescriptor(
      this, file, path, target, std::move(temporary),
      target.kind == HostTarget::kFifo || target.kind == HostTarget::kCharDevice));
}

void CHostFileSystem::commitReplacement(CFileDescriptor* descriptor) {
  auto* replacement = dynamic_cast<CReplacementDescriptor*>(descriptor);
  if (replacement == nullptr) {
    ThrowException(platform::kInvalidHandle, label(L"commitReplacement"));
  }
  const std::uint32_t code = replacement->commit();
  if (code != platform::kHostOk) {
    ThrowFailure(code, replacement->path());
  }
}

SmartPtr<CFileDescriptor> CHostFileSystem::lockFile(const std::wstring& path,
                                                    std::uint32_t waitMilliseconds) {
  std::string host;
  platform::HostLock* lock = nullptr;
  std::uint32_t code = toHostPath(path, host);
  if (code == platform::kHostOk) {
    code = platform::HostLock::acquire(host, waitMilliseconds, &lock);
  }
  if (code != platform::kHostOk) {
    ThrowFailure(code, path);
  }
  return SmartPtr<CFileDescriptor>(new CLockDescriptor(this, lock));
}

}  // namespace qel
