#ifndef QEL_QELCORE_H_
#define QEL_QELCORE_H_

// Everything QelCore offers, in one include.
#include "qel/core/Buffer.h"
#include "qel/core/Exception.h"
#include "qel/core/Export.h"
#include "qel/core/HashCode.h"
#include "qel/core/Lock.h"
#include "qel/core/RefCount.h"
#include "qel/core/StringHelper.h"

#endif  // QEL_QELCORE_H_
