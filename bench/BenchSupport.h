// Helpers shared by the benchmark binaries.
#ifndef QEL_BENCH_BENCHSUPPORT_H_
#define QEL_BENCH_BENCHSUPPORT_H_

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace qelbench

#endif  // QEL_BENCH_BENCHSUPPORT_H_
