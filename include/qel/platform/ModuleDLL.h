#ifndef QEL_PLATFORM_MODULEDLL_H_
#define QEL_PLATFORM_MODULEDLL_H_

#include <string>

#include "qel/core/Export.h"

namespace qel {

// A loaded code module and the lookup of its entry points.  The module stays
// loaded for the life of the process: no copy and no destructor unloads it,
// and every copy refers to the same module.
class QEL_API CModuleDLL {
 public:
  // Loads the module at path (UTF-8 on the host; a bare file name is searched
  // the way the dynamic loader searches).  Throws OSException whose message is
  // path unchanged: code errno where the loader set one, else 126.  An empty
  // path or one holding a NUL character fails with EINVAL.
  explicit CModuleDLL(const std::wstring& path);
  CModuleDLL(const CModuleDLL& other);
  CModuleDLL& operator=(const CModuleDLL& other);
  virtual ~CModuleDLL();

  // The address of the export name (converted to the ANSI page).  Throws
  // OSException whose message is name unchanged: code errno where the lookup
  // set one, else 127; a name holding a NUL character fails with EINVAL.  An
  // export whose address is null gives null.
  void* symbol(const std::wstring& name) const;
  // The host has no export ordinals: always throws OSException 127 with the
  // message "ordinal call".
  void* symbol(int ordinal) const;

 private:
  void* _pModule;
};

}  // namespace qel

#endif  // QEL_PLATFORM_MODULEDLL_H_
