#ifndef QEL_SRC_PLATFORM_DEVICEQUERYHOOK_H_
#define QEL_SRC_PLATFORM_DEVICEQUERYHOOK_H_

#include <functional>

namespace qel {
namespace platform {

// Called with the index of every DeviceUtils::GetDeviceInfo query, before
// the fact is looked up.  An empty function removes the observer.  Lets the
// test suite see how often each fact is queried.
void setDeviceQueryObserver(std::function<void(int index)> observer);

}  // namespace platform
}  // namespace qel

#endif  // QEL_SRC_PLATFORM_DEVICEQUERYHOOK_H_
