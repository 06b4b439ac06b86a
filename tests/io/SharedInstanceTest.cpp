// The process-wide file-system instance.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qel/io/FileSystem.h"
#include "qel/io/PosixFileSystem.h"
#include "qel/io/Win32FileSystem.h"
#include "support/FileSystemScope.h"

namespace {

using qel::CFileSystem;
using qel::SmartPtr;

std::atomic<int> g_created{0};
std::atomic<int> g_destroyed{0};

class CountingFileSystem : public qel::CPosixFileSystem {
 public:
  CountingFileSystem() { ++g_created; }
  ~CountingFileSystem() override { ++g_destroyed; }
};

constexpr auto makeCounting = &qel_test::makeFileSystem<CountingFileSystem>;
constexpr auto makeWin32 = &qel_test::makeFileSystem<qel::CWin32FileSystem>;

class SharedInstance : public ::testing::Test {
 protected:
  SharedInstance() : scope(makeCounting) {
    g_created = 0;
    g_destroyed = 0;
  }
  qel_test::FileSystemScope scope;
};

TEST_F(SharedInstance, SameObjectWhileHeldNewOneAfterRelease) {
  SmartPtr<CFileSystem> first = CFileSystem::getFileSystem();
  SmartPtr<CFileSystem> second = CFileSystem::getFileSystem();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(2u, first->getRefCount());
  EXPECT_EQ(first.get(), CFileSystem::_pFileSystem);
  first.reset();
  second.reset();
  EXPECT_EQ(1, g_destroyed.load());
  EXPECT_EQ(nullptr, CFileSystem::_pFileSystem);
  SmartPtr<CFileSystem> third = CFileSystem::getFileSystem();
  EXPECT_EQ(2, g_created.load());
}

TEST_F(SharedInstance, ResetDetachesButHoldersKeepTheirInstance) {
  SmartPtr<CFileSystem> held = CFileSystem::getFileSystem();
  CFileSystem::resetInstance();
  EXPECT_EQ(nullptr, CFileSystem::_pFileSystem);
  SmartPtr<CFileSystem> fresh = CFileSystem::getFileSystem();
  EXPECT_NE(held.get(), fresh.get());
  EXPECT_EQ(L'/', held->getSeparatorChar());
  // Destroying the detached instance leaves the new shared one in place.
  held.reset();
  EXPECT_EQ(fresh.get(), CFileSystem::_pFileSystem);
  EXPECT_EQ(fresh.get(), CFileSystem::getFileSystem().get());
}

TEST_F(SharedInstance, FactorySelectsTheKindAndNullRestoresTheDefault) {
  EXPECT_EQ(makeCounting, CFileSystem::setFactory(makeWin32));
  CFileSystem::resetInstance();
  EXPECT_EQ(L'\\', CFileSystem::getFileSystem()->getSeparatorChar());
  EXPECT_EQ(makeWin32, CFileSystem::setFactory(nullptr));
  CFileSystem::resetInstance();
  EXPECT_EQ(L'/', CFileSystem::getFileSystem()->getSeparatorChar());
  EXPECT_EQ(0, g_created.load());
  CFileSystem::setFactory(makeCounting);
}

// Fetching, copying and dropping the shared instance while other threads
// reset it: every holder has a live object, and every instance created is
// destroyed exactly once.
TEST_F(SharedInstance, FetchCopyReleaseAndResetConcurrency) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) {
      }
      for (int i = 0; i < kRounds; ++i) {
        SmartPtr<CFileSystem> fs = CFileSystem::getFileSystem();
        SmartPtr<CFileSystem> copy = fs;
        EXPECT_EQ(L'/', copy->getSeparatorChar());
        if ((i + t) % 97 == 0) {
          CFileSystem::resetInstance();
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) {
    thread.join();
  }
  CFileSystem::resetInstance();
  EXPECT_EQ(g_created.load(), g_destroyed.load());
  EXPECT_GE(g_created.load(), 1);
}

}  // namespace
