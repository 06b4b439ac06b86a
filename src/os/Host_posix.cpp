#include "os/Host.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qel {
namespace platform {

bool readKernelNames(std::string& machine, std::string& release) {
  struct utsname names {};
  if (::uname(&names) != 0) {
    return false;
  }
  machine = names.machine;
  release = names.release;
  return true;
}

// The buffer grows until the path fits.
std::int32_t readWorkingDirectory(std::string& out) {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
      out.assign(buffer.data());
      return 0;
    }
    const int error = errno;
    if (error != ERANGE) {
      return static_cast<std::int32_t>(error);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool isTerminal(StandardStream stream) {
  const int descriptor = stream == StandardStream::Input    ? STDIN_FILENO
                         : stream == StandardStream::Output ? STDOUT_FILENO
                                                            : STDERR_FILENO;
  return ::isatty(descriptor) == 1;
}

}  // namespace platform
}  // namespace qel
