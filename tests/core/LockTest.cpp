#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <type_traits>

#include "qel/core/Exception.h"
#include "qel/core/Lock.h"
#include "support/Threads.h"

using qel::CLock;
using qel::CMutex;
using qel::CRWLock;
using qel::manual_reset_event;
using qel::OSException;
using qel::SmartPtr;
using qel_test::onThreads;

namespace {

// Polls pred for up to 20 seconds, a bound reached only by a lost wake-up or
// a deadlock.
template <typename Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

// Gives a thread that should stay blocked the chance to proceed wrongly;
// never the only synchronisation that a test's correctness relies on.
void giveBlockedThreadAChance() {
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// One-shot latch independent of the classes under test.
struct Latch {
  std::promise<void> promise;
  std::shared_future<void> future = promise.get_future().share();
  void open() { promise.set_value(); }
  void await() const { future.wait(); }
};

template <typename F>
void onOtherThread(F f) {
  std::thread(f).join();
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
struct LockName {
  template <typename L>
  static std::string GetName(int) {
    return std::is_same<L, CLock>::value ? "CLock" : "CMutex";
  }
};
using ExclusiveLocks = ::testing::Types<CLock, CMutex>;
TYPED_TEST_SUITE(ExclusiveLockConcurrency, ExclusiveLocks, LockName);

}  // namespace

TYPED_TEST(ExclusiveLockConcurrency, OwnerReentersOtherThreadsAreKeptOut) {
  TypeParam lock;
  EXPECT_TRUE(tryLockElsewhere(lock));
  lock.lock();
  EXPECT_FALSE(tryLockElsewhere(lock));
  EXPECT_TRUE(lock.tryLock());
  lock.lock();
  lock.unlock();  // each entry needs its own unlock
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
  waiter.join();
  EXPECT_TRUE(acquired.load());

  long long total = 0;  // deliberately plain: the lock is the only guard
  onThreads(4, [&](int) {
    for (int i = 0; i < 2000; ++i) {
      lock.lock();
      ++total;
      lock.unlock();
    }
  });
  EXPECT_EQ(8000, total);
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

// Nothing may refer to a mutex its owner destroyed while holding it.
TEST(CMutexConcurrency, DestroyedWhileHeldByItsOwner) {
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
  onThreads(4, [&](int t) {
    if (t < 3) {
      event.wait();
      ++passed;
    } else {
      giveBlockedThreadAChance();
      EXPECT_EQ(0, passed.load());
      event.set();
    }
  });
  EXPECT_EQ(3, passed.load());
  EXPECT_TRUE(event.isSet());
}

TEST(CRWLockConcurrency, ReadersShareWritersWaitForAllAndExcludeEveryone) {
  CRWLock lock;
  Latch readersHold[2], releaseReader[2], releaseWriter;
  std::atomic<bool> writerHolds{false}, secondWriter{false};
  std::thread readers[2];
  for (int i = 0; i < 2; ++i) {
    readers[i] = std::thread([&, i] {
      lock.lockRead();
      readersHold[i].open();
      releaseReader[i].await();
      lock.unlockRead();
    });
  }
  readersHold[0].await();
  readersHold[1].await();  // both hold the lock at once
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

  std::thread other([&] {
    lock.lockWrite();
    secondWriter = true;
    lock.unlockWrite();
  });
  giveBlockedThreadAChance();
  EXPECT_FALSE(secondWriter.load());
  releaseWriter.open();
  writer.join();
  other.join();
  EXPECT_TRUE(secondWriter.load());
}

TEST(CRWLockConcurrency, ReaderArrivingWhileWriterWaitsBlocksUntilUnlockWrite) {
  CRWLock lock;
  lock.lockRead();  // the reader that the writer waits for
  std::atomic<bool> writerHolds{false}, writerReleasing{false};
  std::atomic<bool> probeHolds{false}, probeSawRelease{false};
  Latch releaseWriter;
  std::thread writer([&] {
    lock.lockWrite();
    writerHolds = true;
    releaseWriter.await();
    writerReleasing = true;
    lock.unlockWrite();
  });
  // Until the writer has closed the gate a new reader still gets in: probe
  // until one is held back.
  std::thread probe;
  bool probeBlocked = false;
  for (int attempt = 0; attempt < 200 && !probeBlocked; ++attempt) {
    probe = std::thread([&] {
      lock.lockRead();
      probeSawRelease = writerReleasing.load();
      probeHolds = true;
      lock.unlockRead();
    });
    giveBlockedThreadAChance();
    probeBlocked = !probeHolds.exchange(false);
    if (!probeBlocked) {
      probe.join();
    }
  }
  ASSERT_TRUE(probeBlocked) << "the waiting writer never held new readers back";
  EXPECT_FALSE(writerHolds.load());
  lock.unlockRead();
  EXPECT_TRUE(eventually([&] { return writerHolds.load(); }));
  giveBlockedThreadAChance();
  EXPECT_FALSE(probeHolds.load());
  releaseWriter.open();
  writer.join();
  probe.join();
  EXPECT_TRUE(probeHolds.load() && probeSawRelease.load());
}

TEST(CRWLockConcurrency, GuardsSharedStateUnderMixedLoad) {
  SmartPtr<CRWLock> lock(new CRWLock);
  int value = 0;  // written under the write lock, read under the read lock
  std::atomic<int> badReads{0};
  onThreads(4, [lock, &value, &badReads](int t) {
    for (int i = 0; i < 2000; ++i) {
      if ((i + t) % 4 == 0) {
        lock->lockWrite();
        ++value;
        ++value;  // never observed odd by a reader
        lock->unlockWrite();
      } else {
        lock->lockRead();
        badReads += value % 2;
        lock->unlockRead();
      }
    }
  });
  EXPECT_EQ(0, badReads.load());
  EXPECT_EQ(2 * 4 * 500, value);
  EXPECT_EQ(1u, lock->getRefCount());
}
