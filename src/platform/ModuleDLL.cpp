#include "qel/platform/ModuleDLL.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include "core/Codecs.h"
#include "os/Module.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"

namespace qel {

namespace {

// Windows' numbers for "module not found" and "procedure not found", used
// when the loader reports a failure without an errno.
constexpr std::int32_t kModuleNotFound = 126;
constexpr std::int32_t kProcedureNotFound = 127;

std::int32_t errorOr(int error, std::int32_t fallback) {
  return error != 0 ? static_cast<std::int32_t>(error) : fallback;
}

}  // namespace

CModuleDLL::CModuleDLL(const std::wstring& path) : _pModule(nullptr) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) {
    throw OSException(EINVAL, path);
  }
  std::string hostPath;
  if (!codec::encodeHostName(path, hostPath)) {
    throw OSException(EINVAL, path);
  }
  int error = 0;
  void* const module = platform::openModule(hostPath, error);
  if (module == nullptr) {
    throw OSException(errorOr(error, kModuleNotFound), path);
  }
  _pModule = module;
}

CModuleDLL::CModuleDLL(const CModuleDLL& other) = default;
CModuleDLL& CModuleDLL::operator=(const CModuleDLL& other) = default;

// The module stays loaded for the life of the process.
CModuleDLL::~CModuleDLL() = default;

void* CModuleDLL::symbol(const std::wstring& name) const {
  if (name.find(L'\0') != std::wstring::npos) {
    throw OSException(EINVAL, name);
  }
  const std::string narrow = CStringHelper::toAnsi(name);
  bool found = false;
  int error = 0;
  void* const address = platform::moduleSymbol(_pModule, narrow, found, error);
  // A null address is a failure only when the loader says so: an export may
  // legitimately resolve to null.
  if (!found) {
    throw OSException(errorOr(error, kProcedureNotFound), name);
  }
  return address;
}

void* CModuleDLL::symbol(int /*ordinal*/) const {
  throw OSException(kProcedureNotFound, L"ordinal call");
}

}  // namespace qel
