#ifndef QEL_TESTS_SUPPORT_THREADS_H_
#define QEL_TESTS_SUPPORT_THREADS_H_

#include <atomic>
#include <thread>
#include <vector>

namespace qel_test {

// Runs body(t) for t = 0 .. n - 1 on n threads that start together (none
// begins before all exist), and joins them.
template <typename Body>
void onThreads(int n, Body body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < n) {
        std::this_thread::yield();
      }
      body(t);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
}

}  // namespace qel_test

#endif  // QEL_TESTS_SUPPORT_THREADS_H_
