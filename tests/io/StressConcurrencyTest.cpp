// The process-wide file-system instance, alone and shared by threads.  The
// suites whose names end in Concurrency are run under ThreadSanitizer.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "qel/io/PosixFileSystem.h"
#include "qel/io/Win32FileSystem.h"
#include "support/FileSystemScope.h"
#include "support/TempDir.h"

namespace {

using qel::CFile;
using qel::CFileSystem;
using qel::SmartPtr;

std::atomic<int> g_fsCreated{0};
std::atomic<int> g_fsDestroyed{0};

class CountingFileSystem : public qel::CPosixFileSystem {
 public:
  CountingFileSystem() { ++g_fsCreated; }
  ~CountingFileSystem() override { ++g_fsDestroyed; }
};

constexpr auto makeCounting = &qel_test::makeFileSystem<CountingFileSystem>;
constexpr auto makeWin32 = &qel_test::makeFileSystem<qel::CWin32FileSystem>;

class SharedInstance : public ::testing::Test {
 protected:
  SharedInstance() : scope(makeCounting) {
    g_fsCreated = 0;
    g_fsDestroyed = 0;
  }
  qel_test::FileSystemScope scope;
};

TEST_F(SharedInstance, SameObjectWhileHeldNewOneAfterReleaseOrReset) {
  SmartPtr<CFileSystem> first = CFileSystem::getFileSystem();
  SmartPtr<CFileSystem> second = CFileSystem::getFileSystem();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(2u, first->getRefCount());
  EXPECT_EQ(first.get(), CFileSystem::_pFileSystem);
  first.reset();
  second.reset();
  EXPECT_EQ(1, g_fsDestroyed.load());
  EXPECT_EQ(nullptr, CFileSystem::_pFileSystem);
  // A reset detaches the instance, but its holders keep it.
  SmartPtr<CFileSystem> held = CFileSystem::getFileSystem();
  EXPECT_EQ(2, g_fsCreated.load());
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
  EXPECT_EQ(0, g_fsCreated.load());
  CFileSystem::setFactory(makeCounting);
}

// Eight threads fetch, copy, use and reset the shared file system (every
// instance made is destroyed exactly once) and query files through it.
TEST(StressConcurrency, EightThreadsShareTheFileSystemAndQueryFiles) {
  qel_test::FileSystemScope scope(makeCounting);
  g_fsCreated = 0;
  g_fsDestroyed = 0;
  qel_test::TempDir dir;
  dir.writeFile("a.txt", std::string(1234, 'a'));
  dir.writeFile("b.txt", "");
  CFile(dir.wpath("sub")).mkdirs();
  std::atomic<long> failures{0};
  {  // the files hold the file system: they go before the count is taken
    const CFile a(dir.wpath("a.txt")), b(dir.wpath("b.txt")), sub(dir.wpath("sub"));
    const std::function<bool(unsigned)> kOperations[] = {
        [&](unsigned step) {
          SmartPtr<CFileSystem> fs = CFileSystem::getFileSystem();
          const SmartPtr<CFileSystem> copy = fs;
          const bool ok = copy->getSeparatorChar() == L'/';
          if (step % 16 == 0) {
            CFileSystem::resetInstance();
          }
          return ok;
        },
        [&](unsigned) {
          return a.exists() && a.length() == 1234 && b.isFile() && b.length() == 0 &&
                 sub.isDirectory() && a.getName() == L"a.txt";
        },
        [&](unsigned) {
          std::list<std::wstring> names;
          CFile(dir.wstr()).listDirectory(names);
          return names.size() == 3;
        }};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (unsigned i = 0, step = t * 7919u; i < 3000; ++i) {
          step = step * 1103515245u + 12345u;
          failures += kOperations[(step >> 16) % 3](step >> 4) ? 0 : 1;
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
  EXPECT_EQ(failures.load(), 0);
  CFileSystem::resetInstance();
  EXPECT_EQ(g_fsCreated.load(), g_fsDestroyed.load());
  EXPECT_GT(g_fsCreated.load(), 1);
}

}  // namespace
