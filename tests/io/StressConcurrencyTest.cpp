// The process-wide file-system instance, and threads over everything the
// library shares: reference-counted objects, reader-writer and plain locks,
// events, the shared file system and file queries.  The suites whose names
// end in Concurrency are run under ThreadSanitizer by the tsan preset.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/Lock.h"
#include "qel/core/RefCount.h"
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

std::atomic<long> g_alive{0};

// An object whose destruction is counted and whose use after destruction
// shows in its marker.
struct Tracked : qel::CRefCountable {
  Tracked() { ++g_alive; }
  ~Tracked() override {
    marker = 0;
    --g_alive;
  }
  unsigned marker = 0x51E1C0DEu;
};

// Eight threads over objects, locks, the shared file system (fetched, copied,
// used and reset: every instance created is destroyed exactly once) and files.
TEST(StressConcurrency, EightThreadsShareObjectsLocksTheFileSystemAndFiles) {
  qel_test::FileSystemScope scope(makeCounting);
  g_fsCreated = 0;
  g_fsDestroyed = 0;
  qel_test::TempDir dir;
  dir.writeFile("a.txt", std::string(1234, 'a'));
  dir.writeFile("b.txt", "");
  CFile(dir.wpath("sub")).mkdirs();
  std::array<SmartPtr<Tracked>, 16> roots;
  for (SmartPtr<Tracked>& root : roots) {
    root = new Tracked();
  }
  // References cross threads through a mailbox guarded by the standard
  // library.
  std::mutex mailboxMutex;
  std::list<SmartPtr<Tracked>> mailbox;
  auto post = [&](SmartPtr<Tracked> p) {
    std::lock_guard<std::mutex> guard(mailboxMutex);
    SmartPtr<Tracked> taken = mailbox.empty() ? SmartPtr<Tracked>() : mailbox.front();
    if (!mailbox.empty()) {
      mailbox.pop_front();
    }
    mailbox.push_back(std::move(p));
    return !taken || taken->marker == 0x51E1C0DEu;
  };
  SmartPtr<qel::CRWLock> rw(new qel::CRWLock());
  long up = 0;  // up + down stays 0 for a reader
  long down = 0;
  qel::CMutex mutex;
  qel::CLock lock;
  long counted = 0;
  std::atomic<long> failures{0}, writes{0}, adds{0};
  {  // the files hold the file system: they go before the count is taken
    const CFile a(dir.wpath("a.txt")), b(dir.wpath("b.txt")), sub(dir.wpath("sub"));
    const std::function<bool(unsigned)> kOperations[] = {
        [&](unsigned step) {
          SmartPtr<Tracked> p = roots[step % roots.size()];
          return post(p) && p->marker == 0x51E1C0DEu;
        },
        [&](unsigned) { return post(SmartPtr<Tracked>(new Tracked())); },
        [&](unsigned) {
          rw->lockRead();
          const bool whole = up + down == 0;
          rw->unlockRead();
          return whole;
        },
        [&](unsigned) {
          rw->lockWrite();
          ++up;
          std::this_thread::yield();
          --down;
          rw->unlockWrite();
          return ++writes > 0;
        },
        [&](unsigned) {
          mutex.lock();
          mutex.lock();  // recursive
          lock.lock();
          ++counted;
          lock.unlock();
          mutex.unlock();
          mutex.unlock();
          return ++adds > 0;
        },
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
          failures += kOperations[(step >> 16) % 8](step >> 4) ? 0 : 1;
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(up, writes.load());
  EXPECT_EQ(down, -writes.load());
  EXPECT_EQ(counted, adds.load());
  EXPECT_TRUE(writes > 0 && adds > 0);
  // Every object made is destroyed exactly once when the last holder goes.
  mailbox.clear();
  for (SmartPtr<Tracked>& root : roots) {
    EXPECT_EQ(root->marker, 0x51E1C0DEu);
    root = nullptr;
  }
  EXPECT_EQ(g_alive.load(), 0);
  CFileSystem::resetInstance();
  EXPECT_EQ(g_fsCreated.load(), g_fsDestroyed.load());
  EXPECT_GT(g_fsCreated.load(), 1);
}

// Pairs of threads passing a value back and forth with two manual-reset
// events: every value arrives once, in order.
TEST(StressConcurrency, EventHandOffsDeliverEveryValueInOrder) {
  constexpr int kRounds = 5000;
  struct Channel {
    qel::manual_reset_event ping;
    qel::manual_reset_event pong;
    int value = -1;
    long sum = 0;
    int outOfOrder = 0;
  };
  std::array<Channel, 4> channels;
  std::vector<std::thread> threads;
  for (Channel& channel : channels) {
    threads.emplace_back([&channel] {
      for (int i = 0; i < kRounds; ++i) {
        channel.value = i;
        channel.ping.set();
        channel.pong.wait();
        channel.pong.unset();
      }
    });
    threads.emplace_back([&channel] {
      for (int i = 0; i < kRounds; ++i) {
        channel.ping.wait();
        channel.ping.unset();
        channel.outOfOrder += channel.value != i ? 1 : 0;
        channel.sum += channel.value;
        channel.pong.set();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const Channel& channel : channels) {
    EXPECT_EQ(channel.outOfOrder, 0);
    EXPECT_EQ(channel.sum, static_cast<long>(kRounds) * (kRounds - 1) / 2);
  }
}

}  // namespace
