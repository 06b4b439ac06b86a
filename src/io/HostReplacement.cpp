// Replacing and locking files through the host layer.
#include "io/Replacement.h"
#include "qel/core/Exception.h"
#include "qel/io/HostFileSystem.h"

namespace qel {

using platform::HostFile;
using platform::HostTarget;

namespace {

// What path leads to, or the failure to find out.
HostTarget resolvedTarget(const std::string& host, const std::wstring& path) {
  HostTarget target;
  const std::uint32_t code = platform::hostResolveTarget(host, &target);
  if (code != platform::kHostOk) {
    CHostFileSystem::ThrowFailure(code, path);
  }
  return target;
}

// Only a regular file (or a missing one) is replaced whole, or locked for
// that; a stream is written in place when flags allow it.
void refuseUnreplaceable(const HostTarget& target, const std::wstring& path, int flags) {
  switch (target.kind) {
    case HostTarget::kDirectory:
      throw IOException(path + L" is a directory");
    case HostTarget::kFifo:
    case HostTarget::kCharDevice:
      if ((flags & CFileSystem::RF_STREAM_SPECIAL_FILES) == 0) {
        throw IOException(path + L" is not a regular file");
      }
      break;
    case HostTarget::kOther:
      throw IOException(path + L" is not a regular file");
    case HostTarget::kRegular:
      if (target.readOnly && (flags & CFileSystem::RF_REPLACE_READ_ONLY) == 0) {
        throw IOException(path + L" is read-only");
      }
      break;
    case HostTarget::kMissing:
      break;
  }
}

}  // namespace

SmartPtr<CFileDescriptor> CHostFileSystem::openReplacement(const std::wstring& path, int flags) {
  std::string host;
  std::uint32_t code = toHostPath(path, host);
  if (code != platform::kHostOk) {
    ThrowFailure(code, path);
  }
  const HostTarget target = resolvedTarget(host, path);
  refuseUnreplaceable(target, path, flags);
  HostFile* file = nullptr;
  std::string temporary;
  const bool stream = target.kind == HostTarget::kFifo || target.kind == HostTarget::kCharDevice;
  if (stream) {
    code = HostFile::openStream(target, &file);
  } else {
    code = HostFile::createTemporary(target, &file, &temporary);
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
    // Read-only files may still be locked: the caller may replace them.
    refuseUnreplaceable(resolvedTarget(host, path), path, RF_REPLACE_READ_ONLY);
    code = platform::HostLock::acquire(host, waitMilliseconds, &lock);
  }
  if (code != platform::kHostOk) {
    ThrowFailure(code, path);
  }
  return SmartPtr<CFileDescriptor>(new CLockDescriptor(this, lock));
}

}  // namespace qel
