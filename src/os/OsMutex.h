#ifndef QEL_SRC_OS_OSMUTEX_H_
#define QEL_SRC_OS_OSMUTEX_H_

#include <cstdint>
#include <memory>

namespace qel {
namespace platform {

// A re-entrant operating-system mutex whose every step reports the system's
// error number instead of failing silently.  0 means success.
class OsMutex {
 public:
  enum class TryResult { kAcquired, kBusy, kAbandoned, kFailed };

  // Creates the mutex; on failure the error number is stored in *error and
  // null is returned.
  static std::unique_ptr<OsMutex> create(std::int32_t* error);
  ~OsMutex();
  OsMutex(const OsMutex&) = delete;
  OsMutex& operator=(const OsMutex&) = delete;

  // Waits without limit; a mutex whose owner died while holding it is
  // repaired and counts as acquired.
  std::int32_t lock();
  // Does not wait.  kAbandoned: the owner died; the mutex has been repaired
  // and left free.  *error receives the system's number for kAbandoned and
  // kFailed.
  TryResult tryLock(std::int32_t* error);
  // Fails (EPERM) when the calling thread does not own the mutex.
  std::int32_t unlock();

 private:
  OsMutex();
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_OS_OSMUTEX_H_
