#include "FileProgress.h"

#include <memory>

#include "Progress.h"
#include "qel/io/FileSystem.h"
#include "qel/io/PosixFileSystem.h"

namespace qeltool {

namespace {

// The bar the file system reports to; the tool is single-threaded.
std::unique_ptr<Progress> g_progress;
std::uint64_t g_done = 0;

class CountingFileSystem : public qel::CPosixFileSystem {
 public:
  std::uint32_t readFile(qel::CFileDescriptor* descriptor, unsigned char* buffer,
                         std::uint32_t size) const override {
    const std::uint32_t got = qel::CPosixFileSystem::readFile(descriptor, buffer, size);
    if (g_progress) {
      g_done += got;
      g_progress->update(g_done);
    }
    return got;
  }
};

qel::CFileSystem* makeCountingFileSystem() {
  return new CountingFileSystem();
}

qel::CFileSystem::Factory g_previous = nullptr;

}  // namespace

FileProgress::FileProgress(const std::string& label, std::uint64_t total) {
  g_progress = std::make_unique<Progress>(label, total);
  g_done = 0;
  g_previous = qel::CFileSystem::setFactory(&makeCountingFileSystem);
  qel::CFileSystem::resetInstance();
}

FileProgress::~FileProgress() {
  qel::CFileSystem::setFactory(g_previous);
  qel::CFileSystem::resetInstance();
  g_progress.reset();
}

}  // namespace qeltool
