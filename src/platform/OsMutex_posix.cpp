#include "platform/OsMutex.h"

#include <errno.h>
#include <pthread.h>

namespace qel {
namespace platform {

// A recursive, robust pthread mutex: recursive for re-entry by the owner,
// robust so that the death of an owning thread is reported (EOWNERDEAD)
// instead of blocking every later waiter.
struct OsMutex::Impl {
  pthread_mutex_t mutex;
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
    pthread_mutex_destroy(&_impl->mutex);
  }
}

std::int32_t OsMutex::lock() {
  const int rc = pthread_mutex_lock(&_impl->mutex);
  if (rc == EOWNERDEAD) {
    return pthread_mutex_consistent(&_impl->mutex);
  }
  return rc;
}

OsMutex::TryResult OsMutex::tryLock(std::int32_t* error) {
  const int rc = pthread_mutex_trylock(&_impl->mutex);
  switch (rc) {
    case 0:
      return TryResult::kAcquired;
    case EBUSY:
      return TryResult::kBusy;
    case EOWNERDEAD:
      pthread_mutex_consistent(&_impl->mutex);
      pthread_mutex_unlock(&_impl->mutex);
      *error = rc;
      return TryResult::kAbandoned;
    default:
      *error = rc;
      return TryResult::kFailed;
  }
}

std::int32_t OsMutex::unlock() { return pthread_mutex_unlock(&_impl->mutex); }

}  // namespace platform
}  // namespace qel
