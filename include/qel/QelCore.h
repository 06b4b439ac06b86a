#ifndef QEL_QELCORE_H_
#define QEL_QELCORE_H_

// Everything QelCore offers, in one include.
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/archive/SettingsFile.h"
#include "qel/archive/Tree.h"
#include "qel/archive/TreeFile.h"
#include "qel/core/Buffer.h"
#include "qel/core/Exception.h"
#include "qel/core/Export.h"
#include "qel/core/HashCode.h"
#include "qel/core/Lock.h"
#include "qel/core/RefCount.h"
#include "qel/core/StringHelper.h"
#include "qel/crypto/BlowFish.h"
#include "qel/crypto/Hash.h"
#include "qel/datetime/DateTime.h"
#include "qel/io/BufOutputStream.h"
#include "qel/io/File.h"
#include "qel/io/FileReplacement.h"
#include "qel/io/FileStream.h"
#include "qel/io/FileSystem.h"
#include "qel/io/HostFileSystem.h"
#include "qel/io/PosixFileSystem.h"
#include "qel/io/Stream.h"
#include "qel/io/Win32FileSystem.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/DeviceTools.h"
#include "qel/platform/ModuleDLL.h"
#include "qel/platform/Orvane.h"

#endif  // QEL_QELCORE_H_
