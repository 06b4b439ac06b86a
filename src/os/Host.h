#ifndef QEL_SRC_OS_HOST_H_
#define QEL_SRC_OS_HOST_H_

#include <cstdint>
#include <string>

namespace qel {
namespace platform {

// What the kernel says of itself: the machine ("x86_64") and the release
// ("6.8.0-45-generic").  Returns false when the kernel does not answer.
bool readKernelNames(std::string& machine, std::string& release);

// The process's working directory.  Returns 0 and fills out, or the system's
// error number.
std::int32_t readWorkingDirectory(std::string& out);

// The process's standard streams.
enum class StandardStream { Input, Output, Error };

// Whether the stream is open on a terminal.
bool isTerminal(StandardStream stream);

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_HOST_H_
