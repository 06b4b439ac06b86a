// A process that dies at any moment of a crash-safe store must leave the
// target as one of the two trees it alternates between, complete, and the
// next store must clean up whatever temporary file the death left.
//
// The storing process is a fork of the test made before the test starts
// any thread; it only calls the library and leaves with _exit.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "archive/ArchiveTestSupport.h"
#include "qel/archive/Archive.h"
#include "qel/archive/Component.h"
#include "qel/io/File.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

using qel::CArchive;
using qel::CComposite;
using qel::CFile;
using qel::CTreeFile;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kKills = 100;
// Leaves per tree: several dozen blocks, fewer where every access is
// instrumented.
constexpr int kLeaves = kSanitized ? 700 : 1500;

// Stores the two trees in turn, first, second, first, ..., telling the
// parent through the pipe when it starts.  Never returns.  A store of the
// tree the target already holds comes first: a fresh fork runs slowly while
// it copies the pages it touches, and the kills are meant for stores that
// run at full speed.
[[noreturn]] void storeForever(const std::wstring& path, CComposite& first, CComposite& second,
                               int readyFd) {
  int status = 0;
  try {
    CTreeFile::store(CFile(path), second);
    const char ready = 'r';
    if (::write(readyFd, &ready, 1) != 1) {
      ::_exit(3);
    }
    for (;;) {
      CTreeFile::store(CFile(path), first);
      CTreeFile::store(CFile(path), second);
    }
  } catch (...) {
    status = 2;
  }
  ::_exit(status);
}

class CrashSafeStoreKillTest : public ::testing::Test {
 protected:
  CrashSafeStoreKillTest() {
    qel_test::buildSampleTree(_trees[0], "first", kLeaves);
    qel_test::buildSampleTree(_trees[1], "second-tree", kLeaves);
  }

  // A killed process loses nothing that it handed to the kernel, so what
  // is tested does not depend on the disk; a memory file system, where
  // there is one, keeps the run time from following the disk's sync speed.
  static std::filesystem::path workBase() {
    std::error_code ec;
    const std::filesystem::path memory("/dev/shm");
    if (std::filesystem::is_directory(memory, ec) && ::access(memory.c_str(), W_OK) == 0) {
      return memory;
    }
    return std::filesystem::temp_directory_path();
  }

  // The bytes a store of tree i gives, kept aside.
  std::string bytesOf(int i) {
    CTreeFile::store(CFile(_dir.wpath("sample.arc")), _trees[i]);
    return _dir.readFile("sample.arc");
  }

  qel_test::TempDir _dir{workBase()};
  CComposite _trees[2];
};

TEST_F(CrashSafeStoreKillTest, TheTargetIsAlwaysOneWholeTreeAfterAKill) {
  const std::string bytes[2] = {bytesOf(0), bytesOf(1)};
  const std::string described[2] = {qel_test::describeTree(_trees[0]),
                                    qel_test::describeTree(_trees[1])};
  ASSERT_NE(bytes[0], bytes[1]);
  ASSERT_GT(bytes[0].size(), 8u * CArchive::BLOCK_SIZE);

  const std::wstring path = _dir.wpath("tree.arc");
  // Entries of the directory besides the target: what a killed store left.
  auto leftovers = [this] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(_dir.path())) {
      count += entry.path().filename() != "tree.arc" ? 1 : 0;
    }
    return count;
  };

  // How long a store takes here, so that the kills spread over whole
  // stores and sometimes land after one has finished.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    CTreeFile::store(CFile(path), _trees[0]);
  }
  const auto storeTime = (std::chrono::steady_clock::now() - start) / 3;
  const auto window = std::chrono::duration_cast<std::chrono::microseconds>(storeTime) * 3 +
                      std::chrono::microseconds(200);

  std::mt19937 random(20241206);
  int current = 0;  // the tree the target holds
  int temporariesLeft = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      ::close(ready[0]);
      storeForever(path, _trees[1 - current], _trees[current], ready[1]);
    }
    ::close(ready[1]);
    char signal = 0;
    const bool started = ::read(ready[0], &signal, 1) == 1;
    ::close(ready[0]);
    std::uniform_int_distribution<long long> delay(0, window.count());
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(started);
    // The storing process must not have stopped on its own.
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;

    // The target is one of the two trees, byte for byte, and loads whole.
    const std::string content = _dir.readFile("tree.arc");
    const int holds = content == bytes[0] ? 0 : content == bytes[1] ? 1 : -1;
    ASSERT_NE(-1, holds) << qel_test::sameBytes(bytes[current], content).message();
    CComposite back;
    const CTreeFile::LoadReport report = CTreeFile::load(CFile(path), back);
    ASSERT_TRUE(report.bFound);
    ASSERT_EQ(CArchive::RET_OK, report.eCode);
    ASSERT_EQ(described[holds], qel_test::describeTree(back));

    // A store writes an unnamed file and names it only just before the
    // rename, so a kill almost never leaves a file behind; the next store
    // goes through whatever was left.
    temporariesLeft += leftovers();
    for (const auto& entry : std::filesystem::directory_iterator(_dir.path())) {
      if (entry.path().filename() != "tree.arc") {
        std::filesystem::remove(entry.path());
      }
    }
    current = 1 - holds;
    CTreeFile::store(CFile(path), _trees[current]);
    ASSERT_EQ(0, leftovers());
    ASSERT_EQ(bytes[current], _dir.readFile("tree.arc"));
  }
  EXPECT_LT(temporariesLeft, kKills / 8);
}

}  // namespace
