#ifndef QEL_FUZZ_FUZZSUPPORT_H_
#define QEL_FUZZ_FUZZSUPPORT_H_

// Helpers shared by the fuzz targets.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "qel/platform/ConsoleLogger.h"

namespace qel_fuzz {

// Stops the run with a message; libFuzzer keeps the input that got here.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

#define QEL_FUZZ_CHECK(condition)                                                \
  do {                                                                           \
    if (!(condition)) {                                                          \
      ::qel_fuzz::fail(#condition " (" __FILE__ ":" QEL_FUZZ_STR(__LINE__) ")"); \
    }                                                                            \
  } while (0)
#define QEL_FUZZ_STR(x) QEL_FUZZ_STR2(x)
#define QEL_FUZZ_STR2(x) #x

// Error notices would flood the output at thousands of inputs a second.
inline void quietLogs() {
  qel::DISPLAY_ERROR_LOGS = false;
  qel::DISPLAY_LOGS = false;
}

// One scratch directory per process (under QEL_FUZZ_TMPDIR, else /dev/shm,
// else TMPDIR or /tmp), removed with what it holds when the process exits
// normally.
class ScratchDir {
 public:
  static ScratchDir& instance() {
    static ScratchDir dir;
    return dir;
  }

  const std::string& path() const { return _path; }

  // The path of a file in the directory, narrow and wide (the directory
  // name is ASCII, so widening byte by byte is exact).
  std::string file(const char* name) const {
    _names.insert(name);
    _names.insert(std::string(name) + ".tmp");
    return _path + "/" + name;
  }
  static std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
  }

  // Replaces the file's content with size bytes.
  void write(const std::string& file, const std::uint8_t* data, std::size_t size) const {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr) {
      fail("cannot create a scratch file");
    }
    if (size != 0 && std::fwrite(data, 1, size, out) != size) {
      fail("cannot write a scratch file");
    }
    std::fclose(out);
  }

  // Reads the file's whole content; false when it does not exist.
  bool read(const std::string& file, std::string& content) const {
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (in == nullptr) {
      return false;
    }
    content.clear();
    char block[4096];
    std::size_t got = 0;
    while ((got = std::fread(block, 1, sizeof(block), in)) != 0) {
      content.append(block, got);
    }
    std::fclose(in);
    return true;
  }

  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

 private:
  ScratchDir() {
    // Memory-backed when possible: the library writes files through to the
    // disk, which would make every stored tree wait for it.
    const char* base = std::getenv("QEL_FUZZ_TMPDIR");
    if (base == nullptr || *base == '\0') {
      base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    }
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qel-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      fail("cannot create the scratch directory");
    }
    _path = pattern;
  }
  ~ScratchDir() {
    for (const std::string& name : _names) {
      std::remove((_path + "/" + name).c_str());
    }
    rmdir(_path.c_str());
  }

  std::string _path;
  // Every name handed out, so that the directory can be emptied.
  mutable std::set<std::string> _names;
};

// Reads the input front to back; past the end every read gives zeros.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : _data(data), _size(size) {}

  bool empty() const { return _pos >= _size; }
  std::size_t remaining() const { return empty() ? 0 : _size - _pos; }

  std::uint8_t byte() { return empty() ? 0 : _data[_pos++]; }
  std::uint16_t u16() {
    const std::uint16_t high = byte();
    return static_cast<std::uint16_t>(high << 8 | byte());
  }
  std::uint32_t u32() {
    const std::uint32_t high = u16();
    return high << 16 | u16();
  }
  // Up to count bytes, fewer when the input ends.
  std::string bytes(std::size_t count) {
    const std::size_t take = count < remaining() ? count : remaining();
    std::string out(reinterpret_cast<const char*>(_data + _pos), take);
    _pos += take;
    return out;
  }
  std::string rest() { return bytes(remaining()); }

 private:
  const std::uint8_t* _data;
  std::size_t _size;
  std::size_t _pos = 0;
};

}  // namespace qel_fuzz

#endif  // QEL_FUZZ_FUZZSUPPORT_H_
