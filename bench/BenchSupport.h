// Helpers shared by the benchmark binaries.
#ifndef QEL_BENCH_BENCHSUPPORT_H_
#define QEL_BENCH_BENCHSUPPORT_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qelbench {

// True when QEL_BENCH_SMOKE=1: the CI smoke run wants tiny inputs so that
// every binary finishes in a second or two.
inline bool smoke() {
  const char* value = std::getenv("QEL_BENCH_SMOKE");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// full normally, tiny in a smoke run.
inline std::size_t scaled(std::size_t full, std::size_t tiny) {
  return smoke() ? tiny : full;
}

// Stops the whole run when the two sides of a comparison disagree: a figure
// for different work is worse than no figure.
inline void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "benchmark check failed: %s\n", what);
    std::abort();
  }
}

// The line feeds of size bytes at data: what the floor of a load looks at
// once per byte.
inline std::size_t countLineFeeds(const char* data, std::size_t size) {
  std::size_t count = 0;
  const char* end = data + size;
  while (const void* found = std::memchr(data, '\n', static_cast<std::size_t>(end - data))) {
    ++count;
    data = static_cast<const char*>(found) + 1;
  }
  return count;
}

// The bytes of the file at path, read with the C library outside any timing.
inline std::string readWhole(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  require(f != nullptr, "a file to read opens");
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  std::string text(static_cast<std::size_t>(size), '\0');
  require(size <= 0 || std::fread(&text[0], 1, text.size(), f) == text.size(),
          "a file to read reads whole");
  std::fclose(f);
  return text;
}

// The floor of a load: open the file at path, read buffer.size() bytes of it
// into buffer, close it, and look at every byte once.  Returns the line
// feeds.
inline std::size_t floorLoad(const std::string& path, std::string& buffer) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  require(fd >= 0, "the floor opens the file");
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::read(fd, &buffer[done], buffer.size() - done);
    require(n > 0, "the floor reads the file");
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return countLineFeeds(buffer.data(), buffer.size());
}

}  // namespace qelbench

#endif  // QEL_BENCH_BENCHSUPPORT_H_
