// A process that dies at any moment of a crash-safe store must leave the
// target as one of the two trees it alternates between, complete, and the
// next store must go through whatever temporary file the death left.
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

constexpr int kKills = 100;

// Stores the two trees in turn, telling the parent through the pipe when it
// starts.  Never returns.  A store of the tree the target already holds
// comes first: a fresh fork runs slowly while it copies the pages it
// touches, and the kills are meant for stores that run at full speed.
[[noreturn]] void storeForever(const std::wstring& path, CComposite& first, CComposite& second,
                               int readyFd) {
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
  }
  ::_exit(2);
}

TEST(CrashSafeStoreKillTest, TheTargetIsAlwaysOneWholeTreeAfterAKill) {
  // A killed process loses nothing that it handed to the kernel, so a
  // memory file system, where there is one, serves as well as a disk.
  const bool shm = ::access("/dev/shm", W_OK) == 0;
  qel_test::TempDir dir(shm ? "/dev/shm" : std::filesystem::temp_directory_path());
  // Trees of several dozen blocks.
  CComposite trees[2];
  std::string bytes[2];
  std::string described[2];
  for (int i = 0; i < 2; ++i) {
    qel_test::buildSampleTree(trees[i], i == 0 ? "first" : "second-tree", 1000);
    CTreeFile::store(CFile(dir.wpath("sample.arc")), trees[i]);
    bytes[i] = dir.readFile("sample.arc");
    described[i] = qel_test::describeTree(trees[i]);
  }
  ASSERT_GT(bytes[0].size(), 8u * CArchive::BLOCK_SIZE);
  std::filesystem::remove(dir.path() / "sample.arc");
  const std::wstring path = dir.wpath("tree.arc");
  // What a killed store left beside the target.
  auto leftovers = [&dir] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (entry.path().filename() != "tree.arc") {
        std::filesystem::remove(entry.path());
        ++count;
      }
    }
    return count;
  };
  // Kills spread over a few stores, sometimes after one has finished.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    CTreeFile::store(CFile(path), trees[0]);
  }
  const auto window = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start) +
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
      storeForever(path, trees[1 - current], trees[current], ready[1]);
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
    const std::string content = dir.readFile("tree.arc");
    const int holds = content == bytes[0] ? 0 : content == bytes[1] ? 1 : -1;
    ASSERT_NE(-1, holds) << qel_test::sameBytes(bytes[current], content).message();
    CComposite back;
    const CTreeFile::LoadReport report = CTreeFile::load(CFile(path), back);
    ASSERT_TRUE(report.bFound && report.eCode == CArchive::RET_OK);
    ASSERT_EQ(described[holds], qel_test::describeTree(back));
    // A store writes an unnamed file and names it only just before the
    // rename, so a kill almost never leaves a file behind.
    temporariesLeft += leftovers();
    current = 1 - holds;
    CTreeFile::store(CFile(path), trees[current]);
    ASSERT_EQ(0, leftovers());
    ASSERT_EQ(bytes[current], dir.readFile("tree.arc"));
  }
  EXPECT_LT(temporariesLeft, kKills / 8);
}

}  // namespace
