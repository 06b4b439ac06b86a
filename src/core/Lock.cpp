#include "qel/core/Lock.h"

#include "os/OsMutex.h"
#include "qel/core/Exception.h"

namespace qel {

CLock::CLock() = default;
CLock::~CLock() = default;
void CLock::lock() {
  _mutex.lock();
}
bool CLock::tryLock() {
  return _mutex.try_lock();
}
void CLock::unlock() {
  _mutex.unlock();
}

CMutex::CMutex() {
  std::int32_t error = 0;
  _pMutex = platform::OsMutex::create(&error);
  if (!_pMutex) {
    throw OSException(error, L"CreateMutex");
  }
}

CMutex::~CMutex() = default;

void CMutex::lock() {
  const std::int32_t error = _pMutex->lock();
  if (error != 0) {
    throw OSException(error, L"::WaitForSingleObject");
  }
}

bool CMutex::tryLock() {
  std::int32_t error = 0;
  switch (_pMutex->tryLock(&error)) {
    case platform::OsMutex::TryResult::kAcquired:
      return true;
    case platform::OsMutex::TryResult::kBusy:
      return false;
    default:
      throw OSException(error, L"WFSO");
  }
}

void CMutex::unlock() {
  const std::int32_t error = _pMutex->unlock();
  if (error != 0) {
    throw OSException(error, L"ReleaseMutex");
  }
}

manual_reset_event::manual_reset_event() : _bState(false) {}
manual_reset_event::manual_reset_event(bool state) : _bState(state) {}
manual_reset_event::~manual_reset_event() = default;

void manual_reset_event::set() {
  {
    std::lock_guard<std::mutex> guard(_mutex);
    _bState = true;
  }
  _cv.notify_all();
}

void manual_reset_event::unset() {
  std::lock_guard<std::mutex> guard(_mutex);
  _bState = false;
}

void manual_reset_event::wait() {
  std::unique_lock<std::mutex> guard(_mutex);
  _cv.wait(guard, [this] { return _bState; });
}

bool manual_reset_event::isSet() {
  std::lock_guard<std::mutex> guard(_mutex);
  return _bState;
}

CRWLock::CRWLock() : _noWriter(true), _noReaders(true), _nReaderCount(0) {}
CRWLock::~CRWLock() = default;

void CRWLock::incrementReaderCount() {
  CLockGuard guard(_countGuard);
  ++_nReaderCount;
  _noReaders.unset();
}

void CRWLock::decrementReaderCount() {
  CLockGuard guard(_countGuard);
  if (--_nReaderCount == 0) {
    _noReaders.set();
  }
}

void CRWLock::lockRead() {
  _noWriter.wait();
  incrementReaderCount();
  // A writer may have closed the gate between the wait and the increment:
  // back out and wait for it to finish.
  while (!_noWriter.isSet()) {
    decrementReaderCount();
    _noWriter.wait();
    incrementReaderCount();
  }
}

void CRWLock::unlockRead() {
  decrementReaderCount();
}

void CRWLock::lockWrite() {
  CLockGuard gate(_writerGate);
  _noWriter.wait();
  _noWriter.unset();
  _noReaders.wait();
}

void CRWLock::unlockWrite() {
  _noWriter.set();
}

}  // namespace qel
