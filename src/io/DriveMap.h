#ifndef QEL_SRC_IO_DRIVEMAP_H_
#define QEL_SRC_IO_DRIVEMAP_H_

#include <cstdint>
#include <string>

namespace qel {
namespace drive_map {

// The host directory of a drive letter (either case); "" when unmapped.
// Drive C: is the host root "/" until changed.
std::string rootOf(wchar_t letter);
void setRoot(wchar_t letter, const std::string& hostDirectory);

// The host path of a Windows path that starts with a drive ("X:..."), or a
// host error number: 123 for a name Windows forbids, 3 for an unmapped drive.
std::uint32_t toHostPath(const std::wstring& windowsPath, std::string& hostPath);

}  // namespace drive_map
}  // namespace qel

#endif  // QEL_SRC_IO_DRIVEMAP_H_
