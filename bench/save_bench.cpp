// What a safe save costs: a settings tree of a typical size (32 KiB) and a
// large one (1 MiB) stored on disk by CTreeFile::store, against the plain
// sequence the store once was (a "<target>.tmp" file written through an
// archive, flushed at its close, renamed over the target); an edit by
// CTreeFile::update (the lock, a load, the store); the lock alone; and the
// load alone, so that update less load less store is what the lock adds.
// A typical settings file (32 KiB) is also set against the floor: the
// least a safe save costs in plain system calls (an exclusive private
// temporary file, write, fdatasync, rename, a flush of the directory), and
// the least a load costs (open, read, close, and a look at every byte).
//
// Files are written to QEL_BENCH_DIR, or else to "save_files" beside the
// executable (the build tree, on the disk that holds it).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/archive/SettingsFile.h"
#include "qel/core/StringHelper.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"

namespace {

std::string directory() {
  static const std::string dir = [] {
    const char* given = std::getenv("QEL_BENCH_DIR");
    std::string path;
    if (given != nullptr && *given != '\0') {
      path = std::string(given) + "/qel_save_bench";
    } else {
      char self[4096];
      const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
      qelbench::require(n > 0, "the executable's directory is known");
      path = std::string(self, static_cast<std::size_t>(n));
      path = path.substr(0, path.rfind('/')) + "/save_files";
    }
    ::mkdir(path.c_str(), 0777);
    return path;
  }();
  return dir;
}

// A tree whose stored form is about bytes long: composites of 30 values.
void buildTree(qel::CComposite& root, std::size_t bytes) {
  constexpr std::size_t kRecord = 46;  // a value's record with its line feed
  const std::size_t values = bytes / kRecord;
  qel::CComposite* group = nullptr;
  for (std::size_t i = 0; i < values; ++i) {
    if (i % 30 == 0) {
      group = new qel::CComposite("group" + std::to_string(i / 30));
      root.add(group);
    }
    group->add(new qel::CComponent("key" + std::to_string(i % 30),
                                   "value of setting " + std::to_string(100000 + i)));
  }
}

struct Target {
  explicit Target(std::size_t bytes)
      : path(directory() + "/tree" + std::to_string(bytes) + ".qel"),
        file(qel::CWin32Helper::fromUTF8(path)) {
    buildTree(root, bytes);
    qel::CTreeFile::store(file, root);
  }
  ~Target() { std::remove(path.c_str()); }
  std::string path;
  qel::CFile file;
  qel::CComposite root;
};

std::size_t sizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::size_t bytesFor(const benchmark::State& state) {
  return qelbench::scaled(static_cast<std::size_t>(state.range(0)) * 1024, 4096);
}

void finish(benchmark::State& state, const Target& target) {
  state.counters["file_bytes"] = static_cast<double>(sizeOf(target.path));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sizeOf(target.path)));
}

void save_plain(benchmark::State& state) {
  Target target(bytesFor(state));
  const std::wstring temporary = target.file.getPath() + L".tmp";
  qel::SmartPtr<qel::CFileSystem> fileSystem = qel::CFileSystem::getFileSystem();
  for (auto _ : state) {
    qel::CFile file(temporary);
    {
      qel::CArchive ar(file, qel::CArchive::STORE);
      qel::CArchive::RetError code = qel::CArchive::RET_OK;
      target.root.serialize(ar, code);
      qelbench::require(code == qel::CArchive::RET_OK, "the plain store writes the tree");
      ar.close();
    }
    fileSystem->rename(temporary, target.file.getPath());
  }
  finish(state, target);
}

void save_store(benchmark::State& state) {
  Target target(bytesFor(state));
  for (auto _ : state) {
    qel::CTreeFile::store(target.file, target.root);
  }
  finish(state, target);
}

void save_update(benchmark::State& state) {
  Target target(bytesFor(state));
  benchmark::IterationCount edits = 0;
  for (auto _ : state) {
    qel::CTreeFile::update(target.file, [&edits](qel::CComposite& root) {
      ++edits;
      qelbench::require(root.hasChildren(), "the edit sees the stored tree");
    });
  }
  qelbench::require(edits == state.iterations(), "every update edits");
  finish(state, target);
}

void save_load(benchmark::State& state) {
  Target target(bytesFor(state));
  for (auto _ : state) {
    qel::CComposite root;
    const qel::CTreeFile::LoadReport report = qel::CTreeFile::load(target.file, root);
    qelbench::require(report.eCode == qel::CArchive::RET_OK, "the tree loads");
  }
  finish(state, target);
}

void save_lock(benchmark::State& state) {
  Target target(4096);
  qel::SmartPtr<qel::CFileSystem> fileSystem = qel::CFileSystem::getFileSystem();
  for (auto _ : state) {
    fileSystem->lockFile(target.file.getPath(), 0)->close();
  }
}

// ---- a 32 KiB settings file against the floor --------------------------------------

constexpr std::size_t kSettingsBytes = 32 * 1024;

std::size_t settingsBytes() {
  return qelbench::scaled(kSettingsBytes, 4096);
}

void settings_store_qel(benchmark::State& state) {
  Target target(settingsBytes());
  const std::string stored = qelbench::readWhole(target.path);
  for (auto _ : state) {
    qel::CTreeFile::store(target.file, target.root);
  }
  qelbench::require(qelbench::readWhole(target.path) == stored, "the store writes the same bytes");
  finish(state, target);
}

// The least a crash-safe save does, on bytes already made.
void settings_store_floor(benchmark::State& state) {
  Target target(settingsBytes());
  const std::string bytes = qelbench::readWhole(target.path);
  const std::string dir = directory();
  for (auto _ : state) {
    std::string temporary = dir + "/.floor.XXXXXX";
    const int fd = ::mkstemp(&temporary[0]);  // O_CREAT | O_EXCL, mode 0600
    qelbench::require(fd >= 0, "the temporary file is made");
    qelbench::require(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
                      "the bytes are written");
    qelbench::require(::fdatasync(fd) == 0 && ::close(fd) == 0, "the file is flushed");
    qelbench::require(::rename(temporary.c_str(), target.path.c_str()) == 0, "the file replaces");
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    qelbench::require(dirFd >= 0 && ::fsync(dirFd) == 0 && ::close(dirFd) == 0,
                      "the directory is flushed");
  }
  qelbench::require(qelbench::readWhole(target.path) == bytes, "the floor writes the same bytes");
  finish(state, target);
}

void settings_load_qel(benchmark::State& state) {
  Target target(settingsBytes());
  const std::size_t children = target.root.getChildCount();
  for (auto _ : state) {
    auto* root = new qel::CComposite;
    const qel::CTreeFile::LoadReport report = qel::CTreeFile::load(target.file, *root);
    state.PauseTiming();
    qelbench::require(report.eCode == qel::CArchive::RET_OK && root->getChildCount() == children,
                      "the tree loads");
    delete root;
    state.ResumeTiming();
  }
  finish(state, target);
}

// The least a load does: the bytes into memory, each looked at once.
void settings_load_floor(benchmark::State& state) {
  Target target(settingsBytes());
  const std::string expected = qelbench::readWhole(target.path);
  std::string buffer(expected.size(), '\0');
  std::size_t lineFeeds = 0;
  for (auto _ : state) {
    lineFeeds = qelbench::floorLoad(target.path, buffer);
    benchmark::DoNotOptimize(lineFeeds);
  }
  qelbench::require(
      buffer == expected && lineFeeds == qelbench::countLineFeeds(expected.data(), expected.size()),
      "the floor reads the file's bytes");
  finish(state, target);
}

void settings_file_load_qel(benchmark::State& state) {
  Target target(settingsBytes());
  qel::CSettingsFile settings(target.file);
  for (auto _ : state) {
    settings.load();
  }
  qelbench::require(settings.root().getChildCount() == target.root.getChildCount(),
                    "the settings load");
  finish(state, target);
}

void settings_file_commit_qel(benchmark::State& state) {
  Target target(settingsBytes());
  const std::string stored = qelbench::readWhole(target.path);
  qel::CSettingsFile settings(target.file);
  settings.load();
  for (auto _ : state) {
    settings.commit();
  }
  qelbench::require(qelbench::readWhole(target.path) == stored, "the commit writes the same bytes");
  finish(state, target);
}

}  // namespace

BENCHMARK(settings_store_qel)->Name("settings_store/qel")->Unit(benchmark::kMicrosecond);
BENCHMARK(settings_store_floor)->Name("settings_store/floor")->Unit(benchmark::kMicrosecond);
BENCHMARK(settings_load_qel)->Name("settings_load/qel")->Unit(benchmark::kMicrosecond);
BENCHMARK(settings_load_floor)->Name("settings_load/floor")->Unit(benchmark::kMicrosecond);
BENCHMARK(settings_file_load_qel)->Name("settings_file_load/qel")->Unit(benchmark::kMicrosecond);
BENCHMARK(settings_file_commit_qel)
    ->Name("settings_file_commit/qel")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(save_plain)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_store)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_update)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_load)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_lock)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
