#ifndef QEL_SRC_OS_MODULE_H_
#define QEL_SRC_OS_MODULE_H_

#include <string>

namespace qel {
namespace platform {

// Loads the shared object at path (UTF-8), binding every symbol now and
// keeping them out of the global scope.  Returns the module, or null with
// error set to the system's error number (0 when the loader gave none).
void* openModule(const std::string& path, int& error);

// The address of the exported symbol name in module.  found is false only
// when the loader reports a failure (an export may resolve to null); error is
// then the system's error number, or 0 when the loader gave none.
void* moduleSymbol(void* module, const std::string& name, bool& found, int& error);

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_MODULE_H_
