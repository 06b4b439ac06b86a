#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "qel/core/Exception.h"
#include "qel/core/Lock.h"

using qel::CLock;
using qel::CMutex;
using qel::CRWLock;
using qel::manual_reset_event;
using qel::OSException;
using qel::SmartPtr;

namespace {

// Generous upper bound for a state that must come about: polls pred until it
// holds or 20 seconds pass (reached only when the code under test is wrong:
// a lost wake-up, a deadlock).
template <typename Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Gives a thread that should stay blocked the chance to proceed wrongly;
// never the only synchronisation that a test's correctness relies on.
void giveBlockedThreadAChance() {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// One-shot latch for handing control between test threads, independent of
// the classes under test.
class Latch {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> guard(_mutex);
      _open = true;
    }
    _cv.notify_all();
  }
  void await() {
    std::unique_lock<std::mutex> guard(_mutex);
    _cv.wait(guard, [this] { return _open; });
  }

 private:
  std::mutex _mutex;
  std::condition_variable _cv;
  bool _open = false;
};

template <typename F>
void onOtherThread(F f) {
  std::thread thread(f);
  thread.join();
}

template <typename L>
bool tryLockElsewhere(L& lock) {
  bool taken = false;
  onOtherThread([&] {
    taken = lock.tryLock();
    if (taken) {
      lock.unlock();
    }
  });
  return taken;
}

// Expects f to throw OSException with the given message and a non-zero code.
template <typename F>
void expectOsException(F f, const wchar_t* message) {
  try {
    f();
    ADD_FAILURE() << "no OSException";
  } catch (const OSException& e) {
    EXPECT_EQ(message, e.getMessage());
    EXPECT_NE(0, e.getErrorCode());
  }
}

// CLock and CMutex are both re-entrant exclusive locks.
template <typename L>
class ExclusiveLockConcurrency : public ::testing::Test {};
using ExclusiveLocks = ::testing::Types<CLock, CMutex>;
// Names the instantiations after the class under test in test output.
struct LockName {
  template <typename L>
  static std::string GetName(int) {
    return std::is_same<L, CLock>::value ? "CLock" : "CMutex";
  }
};
TYPED_TEST_SUITE(ExclusiveLockConcurrency, ExclusiveLocks, LockName);

}  // namespace

TYPED_TEST(ExclusiveLockConcurrency, OwnerReentersOtherThreadsAreKeptOut) {
  TypeParam lock;
  EXPECT_TRUE(tryLockElsewhere(lock));
  lock.lock();
  EXPECT_FALSE(tryLockElsewhere(lock));
  EXPECT_TRUE(lock.tryLock());
  lock.lock();
  // Each entry needs its own unlock.
  lock.unlock();
  lock.unlock();
  EXPECT_FALSE(tryLockElsewhere(lock));
  lock.unlock();
  EXPECT_TRUE(tryLockElsewhere(lock));
}

TYPED_TEST(ExclusiveLockConcurrency, LockWaitsForTheOwnerAndGuardsState) {
  TypeParam lock;
  std::atomic<bool> acquired{false};
  lock.lock();
  std::thread waiter([&] {
    lock.lock();
    acquired = true;
    lock.unlock();
  });
  giveBlockedThreadAChance();
  EXPECT_FALSE(acquired.load());
  lock.unlock();
  EXPECT_TRUE(eventually([&] { return acquired.load(); }));
  waiter.join();

  long long total = 0;  // deliberately plain: the lock is the only guard
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        lock.lock();
        ++total;
        lock.unlock();
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(20000, total);
}

TEST(CMutexConcurrency, UnlockWithoutOwnershipThrowsAndChangesNothing) {
  CMutex mutex;
  expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex");
  mutex.lock();
  onOtherThread([&] { expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex"); });
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
  expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex");
  EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(CMutexConcurrency, AbandonedMutexIsTakenByLockAndReportedByTryLock) {
  CMutex mutex;
  onOtherThread([&] {
    mutex.lock();
    mutex.lock();  // even re-entered twice, the owner's end frees it
  });
  EXPECT_NO_THROW(mutex.lock());
  EXPECT_FALSE(tryLockElsewhere(mutex));
  EXPECT_NO_THROW(mutex.unlock());  // owned once
  EXPECT_TRUE(tryLockElsewhere(mutex));

  onOtherThread([&] { mutex.lock(); });
  expectOsException([&] { mutex.tryLock(); }, L"WFSO");
  EXPECT_TRUE(mutex.tryLock());
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
}

TEST(CMutexConcurrency, DestroyedWhileHeldByItsOwner) {
  // Nothing may refer to a mutex its owner destroyed while holding it.
  onOtherThread([] {
    {
      CMutex held;
      held.lock();
      held.lock();
    }
    for (int i = 0; i < 100; ++i) {
      CMutex other;
      other.lock();
      EXPECT_TRUE(other.tryLock());
      other.unlock();
      other.unlock();
    }
  });
  CMutex after;
  EXPECT_TRUE(tryLockElsewhere(after));
}

TEST(ManualResetEventConcurrency, SetReleasesEveryWaiterUntilUnset) {
  manual_reset_event initiallySet(true);
  initiallySet.wait();
  initiallySet.wait();
  EXPECT_FALSE(manual_reset_event().isSet());

  manual_reset_event event;
  onOtherThread([&] { event.set(); });  // a set before the wait is not lost
  event.wait();
  event.unset();
  EXPECT_FALSE(event.isSet());
  std::atomic<int> passed{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      event.wait();
      ++passed;
    });
  }
  giveBlockedThreadAChance();
  EXPECT_EQ(0, passed.load());
  onOtherThread([&] { event.set(); });
  EXPECT_TRUE(eventually([&] { return passed.load() == 3; }));
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_TRUE(event.isSet());
}

TEST(CRWLockConcurrency, ReadersShareWritersWaitForAllAndExcludeEveryone) {
  CRWLock lock;
  Latch readersHold[2];
  Latch releaseReader[2];
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&, i] {
      lock.lockRead();
      readersHold[i].open();
      releaseReader[i].await();
      lock.unlockRead();
    });
  }
  readersHold[0].await();
  readersHold[1].await();  // both hold the lock at once

  std::atomic<bool> writerHolds{false};
  Latch releaseWriter;
  std::thread writer([&] {
    lock.lockWrite();
    writerHolds = true;
    releaseWriter.await();
    lock.unlockWrite();
  });
  releaseReader[0].open();
  readers[0].join();
  giveBlockedThreadAChance();
  EXPECT_FALSE(writerHolds.load());
  releaseReader[1].open();
  readers[1].join();
  EXPECT_TRUE(eventually([&] { return writerHolds.load(); }));

  std::atomic<bool> secondWriter{false};
  std::thread other([&] {
    lock.lockWrite();
    secondWriter = true;
    lock.unlockWrite();
  });
  giveBlockedThreadAChance();
  EXPECT_FALSE(secondWriter.load());
  releaseWriter.open();
  EXPECT_TRUE(eventually([&] { return secondWriter.load(); }));
  writer.join();
  other.join();
}

TEST(CRWLockConcurrency, ReaderArrivingWhileWriterWaitsBlocksUntilUnlockWrite) {
  CRWLock lock;
  lock.lockRead();  // the reader that the writer waits for

  std::atomic<bool> writerHolds{false};
  std::atomic<bool> writerReleasing{false};
  Latch releaseWriter;
  std::thread writer([&] {
    lock.lockWrite();
    writerHolds = true;
    releaseWriter.await();
    writerReleasing = true;
    lock.unlockWrite();
  });

  // Until the writer has closed the gate, a new reader still gets in; probe
  // until one is held back.
  std::atomic<bool> probeHolds{false};
  std::atomic<bool> probeSawRelease{false};
  std::thread probe;
  bool probeBlocked = false;
  for (int attempt = 0; attempt < 200 && !probeBlocked; ++attempt) {
    probeHolds = false;
    probe = std::thread([&] {
      lock.lockRead();
      probeSawRelease = writerReleasing.load();
      probeHolds = true;
      lock.unlockRead();
    });
    giveBlockedThreadAChance();
    if (probeHolds.load()) {
      probe.join();
    } else {
      probeBlocked = true;
    }
  }
  ASSERT_TRUE(probeBlocked) << "the waiting writer never held new readers back";
  EXPECT_FALSE(writerHolds.load());

  lock.unlockRead();
  EXPECT_TRUE(eventually([&] { return writerHolds.load(); }));
  giveBlockedThreadAChance();
  EXPECT_FALSE(probeHolds.load());
  releaseWriter.open();
  EXPECT_TRUE(eventually([&] { return probeHolds.load(); }));
  EXPECT_TRUE(probeSawRelease.load());
  writer.join();
  probe.join();
}

TEST(CRWLockConcurrency, GuardsSharedStateUnderMixedLoad) {
  SmartPtr<CRWLock> lock(new CRWLock);
  int value = 0;  // written under the write lock, read under the read lock
  std::atomic<int> badReads{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([lock, &value, &badReads, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 4 == 0) {
          lock->lockWrite();
          ++value;
          ++value;  // never observed odd by a reader
          lock->unlockWrite();
        } else {
          lock->lockRead();
          if (value % 2 != 0) {
            ++badReads;
          }
          lock->unlockRead();
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(0, badReads.load());
  EXPECT_EQ(2 * 4 * 500, value);
  EXPECT_EQ(1u, lock->getRefCount());
}
