#include "qel/io/TemporaryFile.h"

#include <filesystem>

#include "os/HostFile.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"

namespace qel {

namespace {

std::string createdPath(const std::string& prefix) {
  std::string path;
  const std::uint32_t error = platform::hostCreatePrivateTemporaryFile(prefix, path);
  if (error != platform::kHostOk) {
    throw IOException(L"No temporary file for " + CWin32Helper::fromUTF8(prefix) + L": " +
                      CWin32Helper::fromUTF8(platform::hostErrorText(error)));
  }
  return path;
}

}  // namespace

CTemporaryFile::CTemporaryFile(const std::string& prefix)
    : _sHostPath(createdPath(prefix)), _file(std::filesystem::path(_sHostPath)) {}

CTemporaryFile::~CTemporaryFile() {
  try {
    _file.deleteFile();
  } catch (...) {
    // Already gone, or its directory went: nothing is left to remove.
  }
}

}  // namespace qel
