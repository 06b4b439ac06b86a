#include "os/Module.h"

#include <dlfcn.h>

#include <cerrno>

namespace qel {
namespace platform {

void* openModule(const std::string& path, int& error) {
  errno = 0;
  void* const module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  error = errno;
  return module;
}

void* moduleSymbol(void* module, const std::string& name, bool& found, int& error) {
  ::dlerror();
  errno = 0;
  void* const address = ::dlsym(module, name.c_str());
  error = errno;
  found = address != nullptr || ::dlerror() == nullptr;
  return address;
}

}  // namespace platform
}  // namespace qel
