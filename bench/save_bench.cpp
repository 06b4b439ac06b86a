// What a safe save costs: a settings tree of a typical size (32 KiB) and a
// large one (1 MiB) stored on disk by CTreeFile::store, against the plain
// sequence the store once was (a "<target>.tmp" file written through an
// archive, flushed at its close, renamed over the target); an edit by
// CTreeFile::update (the lock, a load, the store); the lock alone; and the
// load alone, so that update less load less store is what the lock adds.
//
// Files are written to QEL_BENCH_DIR, or else to "save_files" beside the
// executable (the build tree, on the disk that holds it).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
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

}  // namespace

BENCHMARK(save_plain)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_store)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_update)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_load)->Arg(32)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(save_lock)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
