#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

// Runs body on a thread of its own, joined when the object goes.
class Background {
 public:
  template <typename F>
  explicit Background(F body) : _thread([this, body] { body(), _done = true; }) {}
  ~Background() { _thread.join(); }
  bool blocked() const { return giveBlockedThreadAChance(), !_done; }
  bool finishes() const {
    return eventually([this] { return _done.load(); });
  }

 private:
  std::atomic<bool> _done{false};
  std::thread _thread;
};

template <typename L>
bool tryLockElsewhere(L& lock) {
  bool taken = false;
  std::thread([&] { (taken = lock.tryLock()) ? lock.unlock() : void(); }).join();
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
  lock.lock();
  {
    Background waiter([&] { lock.lock(), lock.unlock(); });
    EXPECT_TRUE(waiter.blocked());
    lock.unlock();
    EXPECT_TRUE(waiter.finishes());
  }
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
  std::thread([&] { expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex"); }).join();
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
  expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex");
  EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(CMutexConcurrency, AbandonedMutexIsTakenByLockAndReportedByTryLock) {
  CMutex mutex;
  // Even re-entered twice, the owner's end frees it.
  std::thread([&] { mutex.lock(), mutex.lock(); }).join();
  EXPECT_NO_THROW(mutex.lock());
  EXPECT_FALSE(tryLockElsewhere(mutex));
  EXPECT_NO_THROW(mutex.unlock());  // owned once
  EXPECT_TRUE(tryLockElsewhere(mutex));

  std::thread([&] { mutex.lock(); }).join();
  expectOsException([&] { mutex.tryLock(); }, L"WFSO");
  EXPECT_TRUE(mutex.tryLock());
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
}

// Nothing may refer to a mutex its owner destroyed while holding it.
TEST(CMutexConcurrency, DestroyedWhileHeldByItsOwner) {
  std::thread([] {
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
  }).join();
  CMutex after;
  EXPECT_TRUE(tryLockElsewhere(after));
}

TEST(ManualResetEventConcurrency, SetReleasesEveryWaiterUntilUnset) {
  manual_reset_event initiallySet(true);
  initiallySet.wait();
  initiallySet.wait();
  manual_reset_event event;
  EXPECT_FALSE(event.isSet());
  std::thread([&] { event.set(); }).join();  // a set before the wait is not lost
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

// Read locks are counted, not owned: the test thread holds two at once.
TEST(CRWLockConcurrency, ReadersShareWritersWaitForAllAndExcludeEveryone) {
  CRWLock lock;
  lock.lockRead();
  EXPECT_TRUE(Background([&] { lock.lockRead(); }).finishes());
  std::atomic<bool> writerHolds{false};
  Latch release;
  Background writer(
      [&] { lock.lockWrite(), writerHolds = true, release.await(), lock.unlockWrite(); });
  lock.unlockRead();
  giveBlockedThreadAChance();
  EXPECT_FALSE(writerHolds.load());
  lock.unlockRead();
  EXPECT_TRUE(eventually([&] { return writerHolds.load(); }));
  Background reader([&] { lock.lockRead(), lock.unlockRead(); });
  Background other([&] { lock.lockWrite(), lock.unlockWrite(); });
  EXPECT_TRUE(reader.blocked() && other.blocked());
  release.open();
  EXPECT_TRUE(reader.finishes() && other.finishes());
}

TEST(CRWLockConcurrency, ReaderArrivingWhileWriterWaitsBlocksUntilUnlockWrite) {
  CRWLock lock;
  lock.lockRead();  // the reader that the writer waits for
  std::atomic<bool> writerHolds{false}, writerReleasing{false}, probeSawRelease{false};
  Latch release;
  Background writer([&] {
    lock.lockWrite(), writerHolds = true, release.await();
    writerReleasing = true, lock.unlockWrite();
  });
  // Until the writer has closed the gate a new reader still gets in: probe
  // until one is held back.
  std::unique_ptr<Background> probe;
  bool heldBack = false;
  for (int attempt = 0; attempt < 200 && !heldBack; ++attempt) {
    probe = std::make_unique<Background>(
        [&] { lock.lockRead(), probeSawRelease = writerReleasing.load(), lock.unlockRead(); });
    heldBack = probe->blocked();
  }
  EXPECT_TRUE(heldBack) << "the waiting writer never held new readers back";
  EXPECT_FALSE(writerHolds.load());
  lock.unlockRead();
  EXPECT_TRUE(eventually([&] { return writerHolds.load(); }));
  EXPECT_TRUE(probe->blocked());
  release.open();
  EXPECT_TRUE(probe->finishes() && probeSawRelease.load());
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
