#include "qel/core/RefCount.h"

namespace qel {

// Out of line so that the classes' type information and vtables live in the
// library.
CRefCountable::~CRefCountable() = default;
CWeakRefCountable::~CWeakRefCountable() = default;

}  // namespace qel
