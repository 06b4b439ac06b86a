#include "os/OsMutex.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <thread>

namespace qel {
namespace platform {

// A recursive, robust pthread mutex: recursive for re-entry by the owner,
// robust so that the death of an owning thread is reported (EOWNERDEAD)
// instead of blocking every later waiter.  The owner and its re-entry depth
// are tracked here as well, so that a release by a thread that does not own
// the mutex is refused before it reaches the C library (unlocking a mutex
// one does not own is an error that thread checkers treat as a fault).
struct OsMutex::Impl {
  pthread_mutex_t mutex;
  std::atomic<std::thread::id> owner{std::thread::id()};
  int depth = 0;  // touched only by the owner

  void acquired() {
    if (owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
      owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
      depth = 0;
    }
    ++depth;
  }

  // The previous owner died holding the mutex: the caller now holds it once.
  void repaired() {
    owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth = 1;
  }
};

OsMutex::OsMutex() : _impl(new Impl) {}

std::unique_ptr<OsMutex> OsMutex::create(std::int32_t* error) {
  std::unique_ptr<OsMutex> result(new OsMutex);
  pthread_mutexattr_t attr;
  int rc = pthread_mutexattr_init(&attr);
  if (rc == 0) {
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) {
      rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    }
    if (rc == 0) {
      rc = pthread_mutex_init(&result->_impl->mutex, &attr);
    }
    pthread_mutexattr_destroy(&attr);
  }
  if (rc != 0) {
    *error = rc;
    result->_impl.reset();
    return nullptr;
  }
  return result;
}

OsMutex::~OsMutex() {
  if (_impl) {
    // A robust mutex that is held sits on its owner's robust list, which
    // the C library and the kernel still walk after the memory is gone:
    // give back the holds of the destroying thread first.
    if (_impl->owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      while (_impl->depth > 0 && pthread_mutex_unlock(&_impl->mutex) == 0) {
        --_impl->depth;
      }
    }
    pthread_mutex_destroy(&_impl->mutex);
  }
}

std::int32_t OsMutex::lock() {
  const int rc = pthread_mutex_lock(&_impl->mutex);
  if (rc == EOWNERDEAD) {
    const int repair = pthread_mutex_consistent(&_impl->mutex);
    if (repair == 0) {
      _impl->repaired();
    }
    return repair;
  }
  if (rc == 0) {
    _impl->acquired();
  }
  return rc;
}

OsMutex::TryResult OsMutex::tryLock(std::int32_t* error) {
  const int rc = pthread_mutex_trylock(&_impl->mutex);
  switch (rc) {
    case 0:
      _impl->acquired();
      return TryResult::kAcquired;
    case EBUSY:
      return TryResult::kBusy;
    case EOWNERDEAD:
      pthread_mutex_consistent(&_impl->mutex);
      _impl->owner.store(std::thread::id(), std::memory_order_relaxed);
      _impl->depth = 0;
      pthread_mutex_unlock(&_impl->mutex);
      *error = rc;
      return TryResult::kAbandoned;
    default:
      *error = rc;
      return TryResult::kFailed;
  }
}

std::int32_t OsMutex::unlock() {
  if (_impl->owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
    return EPERM;
  }
  const bool last = _impl->depth == 1;
  if (last) {
    _impl->owner.store(std::thread::id(), std::memory_order_relaxed);
  }
  --_impl->depth;
  const int rc = pthread_mutex_unlock(&_impl->mutex);
  if (rc != 0) {
    // Not released after all: the bookkeeping stays as it was.
    ++_impl->depth;
    _impl->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  return rc;
}

}  // namespace platform
}  // namespace qel
