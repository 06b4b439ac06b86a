#ifndef QEL_TESTS_CORE_CONCURRENCYSUPPORT_H_
#define QEL_TESTS_CORE_CONCURRENCYSUPPORT_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qel_test {

// Generous upper bound for a state that must come about; reached only when
// the code under test is wrong (a lost wake-up, a deadlock).
constexpr std::chrono::seconds kEventuallyLimit{20};

// Polls pred until it holds or kEventuallyLimit passes; returns the last
// answer.
template <typename Pred>
bool eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + kEventuallyLimit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Gives a thread that should stay blocked the chance to proceed wrongly.
// Never the only synchronisation that a test's correctness relies on.
inline void giveBlockedThreadAChance() {
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
  bool isOpen() {
    std::lock_guard<std::mutex> guard(_mutex);
    return _open;
  }

 private:
  std::mutex _mutex;
  std::condition_variable _cv;
  bool _open = false;
};

}  // namespace qel_test

#endif  // QEL_TESTS_CORE_CONCURRENCYSUPPORT_H_
