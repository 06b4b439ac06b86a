#ifndef QEL_CORE_LOCK_H_
#define QEL_CORE_LOCK_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "qel/core/Export.h"
#include "qel/core/RefCount.h"

namespace qel {

// Re-entrant lock: the owning thread may take it again, and each lock() needs
// its own unlock().  Copying a live lock has no sound meaning, so CLock is not
// copyable.
class QEL_API CLock {
 public:
  CLock();
  virtual ~CLock();
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

  void lock();
  // True when the lock was taken, including re-entry by its owner.
  bool tryLock();
  void unlock();

 private:
  std::recursive_mutex _mutex;
};

// Holds a CLock for the lifetime of a scope.
class CLockGuard {
 public:
  explicit CLockGuard(CLock& lock) : _lock(lock) { _lock.lock(); }
  ~CLockGuard() { _lock.unlock(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CLock& _lock;
};

namespace platform {
class OsMutex;
}

// Re-entrant operating-system mutex.  Every failure of the system is thrown
// as OSException carrying the system's error number and the name of the
// failed step: "CreateMutex", "::WaitForSingleObject", "WFSO" or
// "ReleaseMutex".  A mutex abandoned by a thread that ended while owning it
// counts as acquired by lock(); tryLock() reports it as "WFSO" and leaves the
// mutex free, so that the caller can try again.  The mutex is released to the
// system by the destructor.
class QEL_API CMutex : public CNonCopyable {
 public:
  CMutex();
  ~CMutex() override;

  void lock();
  bool tryLock();
  void unlock();

 private:
  std::unique_ptr<platform::OsMutex> _pMutex;
};

// Manual-reset event over a standard mutex and condition variable.  wait()
// does not change the state: a set event lets every waiter through until
// unset().  Failures of the mutex or condition variable surface as
// std::system_error.
class QEL_API manual_reset_event {
 public:
  manual_reset_event();
  explicit manual_reset_event(bool state);
  virtual ~manual_reset_event();
  manual_reset_event(const manual_reset_event&) = delete;
  manual_reset_event& operator=(const manual_reset_event&) = delete;

  void set();
  void unset();
  void wait();
  // Tests the state without waiting.
  bool isSet();

 private:
  std::condition_variable _cv;
  std::mutex _mutex;
  bool _bState;
};

// Reader/writer lock: readers share, writers exclude readers and each other.
// Once a writer has closed the no-writer event, readers that arrive later
// wait until unlockWrite.  A read lock is never upgraded: a thread holding
// one that calls lockWrite waits for ever.
class QEL_API CRWLock : public CRefCountable {
 public:
  CRWLock();
  ~CRWLock() override;

  void lockRead();
  void unlockRead();
  void lockWrite();
  void unlockWrite();

 protected:
  void incrementReaderCount();
  void decrementReaderCount();

 private:
  manual_reset_event _noWriter;
  manual_reset_event _noReaders;
  std::uint32_t _nReaderCount;
  CLock _writerGate;
  CLock _countGuard;
};

}  // namespace qel

#endif  // QEL_CORE_LOCK_H_
