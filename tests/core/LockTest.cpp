#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ConcurrencySupport.h"
#include "qel/core/Exception.h"
#include "qel/core/Lock.h"

using qel::CLock;
using qel::CMutex;
using qel::CRWLock;
using qel::manual_reset_event;
using qel::OSException;
using qel::SmartPtr;
using qel_test::eventually;
using qel_test::giveBlockedThreadAChance;
using qel_test::Latch;

namespace {

// Runs f on a thread of its own and waits for it.
template <typename F>
void onOtherThread(F f) {
  std::thread thread(f);
  thread.join();
}

bool tryLockElsewhere(CLock& lock) {
  bool taken = false;
  onOtherThread([&] {
    taken = lock.tryLock();
    if (taken) {
      lock.unlock();
    }
  });
  return taken;
}

bool tryLockElsewhere(CMutex& mutex) {
  bool taken = false;
  onOtherThread([&] {
    taken = mutex.tryLock();
    if (taken) {
      mutex.unlock();
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
    EXPECT_EQ(L"OSException", e.getExceptionType());
  }
}

}  // namespace

TEST(CLock, ReentryNeedsOneUnlockPerLock) {
  CLock lock;
  lock.lock();
  lock.lock();
  EXPECT_TRUE(lock.tryLock());
  lock.unlock();
  lock.unlock();
  lock.unlock();
  EXPECT_TRUE(lock.tryLock());
  lock.unlock();
}

TEST(CLockConcurrency, TryLockFromAnotherThreadFailsWhileHeld) {
  CLock lock;
  EXPECT_TRUE(tryLockElsewhere(lock));
  lock.lock();
  EXPECT_FALSE(tryLockElsewhere(lock));
  // Re-entry by the owner succeeds and needs an extra unlock.
  EXPECT_TRUE(lock.tryLock());
  lock.unlock();
  EXPECT_FALSE(tryLockElsewhere(lock));
  lock.unlock();
  EXPECT_TRUE(tryLockElsewhere(lock));
}

TEST(CLockConcurrency, LockWaitsForTheOwner) {
  CLock lock;
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
}

TEST(CLockConcurrency, GuardsSharedState) {
  CLock lock;
  long long total = 0;  // deliberately plain: the lock is the only guard
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        qel::CLockGuard guard(lock);
        ++total;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(20000, total);
}

TEST(CMutex, TryLockOnUnownedMutexSucceedsAndReenters) {
  CMutex mutex;
  EXPECT_TRUE(mutex.tryLock());
  mutex.lock();
  EXPECT_TRUE(mutex.tryLock());
  mutex.unlock();
  mutex.unlock();
  mutex.unlock();
}

TEST(CMutex, UnlockWithoutOwnershipThrowsReleaseMutex) {
  CMutex mutex;
  expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex");
  mutex.lock();
  mutex.unlock();
  // One unlock too many.
  expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex");
  // Still usable.
  EXPECT_TRUE(mutex.tryLock());
  mutex.unlock();
}

TEST(CMutexConcurrency, TryLockFromAnotherThreadFailsWhileOwned) {
  CMutex mutex;
  mutex.lock();
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.lock();
  mutex.unlock();
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
  EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(CMutexConcurrency, UnlockByNonOwnerThrowsAndLeavesOwnership) {
  CMutex mutex;
  mutex.lock();
  onOtherThread([&] { expectOsException([&] { mutex.unlock(); }, L"ReleaseMutex"); });
  // The failed release changed nothing: the owner still holds the mutex.
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
  EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(CMutexConcurrency, LockWaitsForTheOwner) {
  CMutex mutex;
  std::atomic<bool> acquired{false};
  mutex.lock();
  std::thread waiter([&] {
    mutex.lock();
    acquired = true;
    mutex.unlock();
  });
  giveBlockedThreadAChance();
  EXPECT_FALSE(acquired.load());
  mutex.unlock();
  EXPECT_TRUE(eventually([&] { return acquired.load(); }));
  waiter.join();
}

TEST(CMutexConcurrency, AbandonedMutexIsAcquiredByLock) {
  CMutex mutex;
  onOtherThread([&] {
    mutex.lock();
    mutex.lock();  // even re-entered twice, the owner's end frees it
  });
  EXPECT_NO_THROW(mutex.lock());
  // The caller now owns it, once.
  EXPECT_FALSE(tryLockElsewhere(mutex));
  EXPECT_NO_THROW(mutex.unlock());
  EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(CMutexConcurrency, AbandonedMutexMakesTryLockThrowWfso) {
  CMutex mutex;
  onOtherThread([&] { mutex.lock(); });
  expectOsException([&] { mutex.tryLock(); }, L"WFSO");
  // The mutex is usable afterwards.
  EXPECT_TRUE(mutex.tryLock());
  EXPECT_FALSE(tryLockElsewhere(mutex));
  mutex.unlock();
  EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(ManualResetEvent, SetEventLetsEveryWaitThrough) {
  manual_reset_event event(true);
  event.wait();
  event.wait();
  event.wait();
  EXPECT_TRUE(event.isSet());
  manual_reset_event initiallyUnset;
  EXPECT_FALSE(initiallyUnset.isSet());
  initiallyUnset.set();
  initiallyUnset.wait();
  EXPECT_TRUE(initiallyUnset.isSet());
  initiallyUnset.unset();
  EXPECT_FALSE(initiallyUnset.isSet());
  manual_reset_event explicitFalse(false);
  EXPECT_FALSE(explicitFalse.isSet());
}

TEST(ManualResetEventConcurrency, SetBeforeWaitIsNotLost) {
  manual_reset_event event;
  onOtherThread([&] { event.set(); });
  event.wait();
  event.wait();
  EXPECT_TRUE(event.isSet());
}

TEST(ManualResetEventConcurrency, WaitBlocksUntilSetAfterUnset) {
  manual_reset_event event(true);
  event.unset();
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
  // One set wakes every waiter.
  EXPECT_TRUE(eventually([&] { return passed.load() == 3; }));
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_TRUE(event.isSet());
}

TEST(CRWLockConcurrency, ReadersShareTheLock) {
  SmartPtr<CRWLock> lock(new CRWLock);
  Latch firstHolds;
  Latch release;
  std::atomic<bool> secondHolds{false};
  std::thread first([&] {
    lock->lockRead();
    firstHolds.open();
    release.await();
    lock->unlockRead();
  });
  firstHolds.await();
  std::thread second([&] {
    lock->lockRead();
    secondHolds = true;
    lock->unlockRead();
  });
  EXPECT_TRUE(eventually([&] { return secondHolds.load(); }));
  release.open();
  first.join();
  second.join();
}

TEST(CRWLockConcurrency, WriterWaitsForBothReaders) {
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
  readersHold[1].await();

  std::atomic<bool> writerHolds{false};
  std::thread writer([&] {
    lock.lockWrite();
    writerHolds = true;
    lock.unlockWrite();
  });
  giveBlockedThreadAChance();
  EXPECT_FALSE(writerHolds.load());
  releaseReader[0].open();
  readers[0].join();
  giveBlockedThreadAChance();
  EXPECT_FALSE(writerHolds.load());
  releaseReader[1].open();
  readers[1].join();
  EXPECT_TRUE(eventually([&] { return writerHolds.load(); }));
  writer.join();
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

TEST(CRWLockConcurrency, WritersExcludeEachOtherAndReaders) {
  CRWLock lock;
  lock.lockWrite();
  std::atomic<bool> secondWriter{false};
  std::atomic<bool> reader{false};
  std::thread writer([&] {
    lock.lockWrite();
    secondWriter = true;
    lock.unlockWrite();
  });
  std::thread readerThread([&] {
    lock.lockRead();
    reader = true;
    lock.unlockRead();
  });
  giveBlockedThreadAChance();
  EXPECT_FALSE(secondWriter.load());
  EXPECT_FALSE(reader.load());
  lock.unlockWrite();
  EXPECT_TRUE(eventually([&] { return secondWriter.load() && reader.load(); }));
  writer.join();
  readerThread.join();
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

TEST(CMutexConcurrency, DestroyedWhileHeldByItsOwner) {
  // The owner destroys the mutex it holds, then goes on using other
  // mutexes and ends; nothing may refer to the destroyed one any more.
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
