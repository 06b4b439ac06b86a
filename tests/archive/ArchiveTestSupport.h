#ifndef QEL_TESTS_ARCHIVE_ARCHIVETESTSUPPORT_H_
#define QEL_TESTS_ARCHIVE_ARCHIVETESTSUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "qel/archive/Archive.h"
#include "qel/core/Exception.h"
#include "qel/io/PosixFileSystem.h"
#include "qel/platform/ConsoleLogger.h"
#include "qel/platform/Orvane.h"

namespace qel_test {

// The native file system, recording the size of every write and able to
// fail once a number of bytes has been written (as a full disk does: the
// bytes that fit are written, then the write fails).
class RecordingFileSystem : public qel::CPosixFileSystem {
 public:
  static std::vector<std::uint32_t>& writes() {
    static std::vector<std::uint32_t> sizes;
    return sizes;
  }
  static std::vector<std::uint32_t>& reads() {
    static std::vector<std::uint32_t> sizes;
    return sizes;
  }
  // Bytes that may still be written before writes fail; negative for no
  // limit.
  static long long& room() {
    static long long bytes = -1;
    return bytes;
  }
  static void reset() {
    writes().clear();
    reads().clear();
    room() = -1;
  }
  static qel::CFileSystem* create() { return new RecordingFileSystem(); }

  std::uint32_t writeFile(qel::CFileDescriptor* descriptor, const unsigned char* buffer,
                          std::uint32_t size) const override {
    writes().push_back(size);
    if (room() >= 0 && static_cast<long long>(size) > room()) {
      const auto fits = static_cast<std::uint32_t>(room());
      if (fits != 0) {
        CPosixFileSystem::writeFile(descriptor, buffer, fits);
      }
      room() = 0;
      throw qel::IOException(L"writeFile: disk full");
    }
    if (room() >= 0) {
      room() -= size;
    }
    return CPosixFileSystem::writeFile(descriptor, buffer, size);
  }

  std::uint32_t readFile(qel::CFileDescriptor* descriptor, unsigned char* buffer,
                         std::uint32_t size) const override {
    const std::uint32_t count = CPosixFileSystem::readFile(descriptor, buffer, size);
    reads().push_back(count);
    return count;
  }
};

// Collects the messages that reach the log sink while it lives.
class LogCapture {
 public:
  LogCapture() {
    MessageLogger::SetSink([this](const std::wstring&, int level, const std::wstring& text) {
      _messages.push_back(std::to_wstring(level) + L":" + text);
    });
  }
  ~LogCapture() { MessageLogger::SetSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  const std::vector<std::wstring>& messages() const { return _messages; }

 private:
  std::vector<std::wstring> _messages;
};

// Reaches the archive's protected and diagnostic parts.
class OpenArchive : public qel::CArchive {
 public:
  using CArchive::CArchive;
  using CArchive::getInputCapacity;
  using CArchive::readValue;
};

}  // namespace qel_test

#endif  // QEL_TESTS_ARCHIVE_ARCHIVETESTSUPPORT_H_
