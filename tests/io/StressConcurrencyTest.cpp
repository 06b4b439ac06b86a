// Eight threads for several seconds over everything the library shares:
// reference-counted objects, reader-writer and plain locks, events, the
// shared file system instance and file queries.  Run under ThreadSanitizer
// by the tsan preset; QEL_STRESS_SECONDS sets the length (3 by default).

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/Lock.h"
#include "qel/core/RefCount.h"
#include "qel/io/File.h"
#include "qel/io/FileSystem.h"
#include "support/TempDir.h"

namespace {

using qel::CFile;
using qel::CFileSystem;
using qel::SmartPtr;

constexpr int kThreads = 8;

std::chrono::steady_clock::duration stressLength() {
  const char* text = std::getenv("QEL_STRESS_SECONDS");
  const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::seconds(seconds > 0 ? seconds : 3);
}

std::atomic<long> g_alive{0};
std::atomic<long> g_created{0};

// An object whose destruction is counted and whose use after destruction
// shows in its marker.
class Tracked : public qel::CRefCountable {
 public:
  explicit Tracked(int id) : _id(id) {
    ++g_alive;
    ++g_created;
  }
  ~Tracked() override {
    _marker = 0;
    --g_alive;
  }
  bool intact() const { return _marker == kMarker; }
  int id() const { return _id; }

 private:
  static constexpr unsigned kMarker = 0x51E1C0DEu;
  unsigned _marker = kMarker;
  int _id;
};

// Two halves that a writer changes together; a reader must never see them
// apart.
struct Pair {
  long up = 0;
  long down = 0;
};

// Pointers handed from one thread to another through a mailbox guarded by
// the standard library, so that the references cross threads.
struct Mailbox {
  void put(SmartPtr<Tracked> p) {
    std::lock_guard<std::mutex> guard(mutex);
    if (items.size() < 64) {
      items.push_back(std::move(p));
    }
  }
  SmartPtr<Tracked> take() {
    std::lock_guard<std::mutex> guard(mutex);
    SmartPtr<Tracked> p;
    if (!items.empty()) {
      p = std::move(items.front());
      items.pop_front();
    }
    return p;
  }
  std::mutex mutex;
  std::list<SmartPtr<Tracked>> items;
};

struct Totals {
  std::atomic<long> operations{0};
  std::atomic<long> torn{0};
  std::atomic<long> broken{0};
  std::atomic<long> wrongFile{0};
  std::atomic<long> rwWrites{0};
  std::atomic<long> mutexAdds{0};
  std::atomic<long> lockAdds{0};
};

TEST(StressConcurrency, EightThreadsShareObjectsLocksTheFileSystemAndFiles) {
  qel_test::TempDir dir;
  dir.writeFile("a.txt", std::string(1234, 'a'));
  dir.writeFile("b.txt", "");
  CFile(dir.wpath("sub")).mkdirs();

  std::array<SmartPtr<Tracked>, 16> roots;
  for (int i = 0; i < static_cast<int>(roots.size()); ++i) {
    roots[i] = new Tracked(i);
  }
  Mailbox mailbox;
  SmartPtr<qel::CRWLock> rw(new qel::CRWLock());
  Pair pair;
  qel::CMutex mutex;
  long mutexCounter = 0;
  qel::CLock lock;
  long lockCounter = 0;
  Totals totals;

  const auto deadline = std::chrono::steady_clock::now() + stressLength();
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) {
        std::this_thread::yield();
      }
      const CFile a(dir.wpath("a.txt"));
      const CFile b(dir.wpath("b.txt"));
      const CFile sub(dir.wpath("sub"));
      unsigned step = static_cast<unsigned>(t) * 7919u;
      while (std::chrono::steady_clock::now() < deadline) {
        for (int burst = 0; burst < 32; ++burst) {
          step = step * 1103515245u + 12345u;
          switch ((step >> 16) % 8) {
            case 0: {  // references shared and handed over
              SmartPtr<Tracked> p = roots[(step >> 8) % roots.size()];
              SmartPtr<Tracked> copy = p;
              mailbox.put(copy);
              SmartPtr<Tracked> other = mailbox.take();
              if (!p->intact() || (other && !other->intact())) {
                ++totals.broken;
              }
              break;
            }
            case 1: {  // a fresh object released on another thread
              mailbox.put(SmartPtr<Tracked>(new Tracked(100 + t)));
              break;
            }
            case 2: {
              rw->lockRead();
              if (pair.up + pair.down != 0) {
                ++totals.torn;
              }
              rw->unlockRead();
              break;
            }
            case 3: {
              rw->lockWrite();
              ++pair.up;
              std::this_thread::yield();
              --pair.down;
              rw->unlockWrite();
              ++totals.rwWrites;
              break;
            }
            case 4: {
              mutex.lock();
              mutex.lock();  // recursive
              ++mutexCounter;
              mutex.unlock();
              mutex.unlock();
              ++totals.mutexAdds;
              lock.lock();
              ++lockCounter;
              lock.unlock();
              ++totals.lockAdds;
              break;
            }
            case 5: {  // the shared instance fetched, used and replaced
              SmartPtr<CFileSystem> fs = CFileSystem::getFileSystem();
              if (fs->getSeparatorChar() != L'/') {
                ++totals.wrongFile;
              }
              if ((step >> 4) % 16 == 0) {
                CFileSystem::resetInstance();
              }
              break;
            }
            case 6: {
              if (!a.exists() || a.length() != 1234 || !b.isFile() || b.length() != 0 ||
                  !sub.isDirectory() || a.getName() != L"a.txt") {
                ++totals.wrongFile;
              }
              break;
            }
            default: {
              std::list<std::wstring> names;
              CFile(dir.wstr()).listDirectory(names);
              if (names.size() != 3) {
                ++totals.wrongFile;
              }
              break;
            }
          }
          ++totals.operations;
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) {
    thread.join();
  }

  EXPECT_EQ(totals.torn.load(), 0);
  EXPECT_EQ(totals.broken.load(), 0);
  EXPECT_EQ(totals.wrongFile.load(), 0);
  const long writes = totals.rwWrites;
  const long mutexTotal = totals.mutexAdds;
  const long lockTotal = totals.lockAdds;
  EXPECT_EQ(pair.up, writes);
  EXPECT_EQ(pair.down, -writes);
  EXPECT_EQ(mutexCounter, mutexTotal);
  EXPECT_EQ(lockCounter, lockTotal);
  EXPECT_GT(writes, 0);
  EXPECT_GT(mutexTotal, 0);

  // Every object made is destroyed exactly once when the last holder goes.
  mailbox.items.clear();
  for (SmartPtr<Tracked>& root : roots) {
    EXPECT_TRUE(root->intact());
    root = nullptr;
  }
  EXPECT_EQ(g_alive.load(), 0);
  CFileSystem::resetInstance();
  std::printf("[ stress   ] %d threads, %ld operations, %ld objects, %ld writes\n", kThreads,
              totals.operations.load(), g_created.load(), writes);
}

// Pairs of threads passing a value back and forth with two manual-reset
// events: every value arrives once, in order.
TEST(StressConcurrency, EventHandOffsDeliverEveryValueInOrder) {
  constexpr int kPairs = kThreads / 2;
  constexpr int kRounds = 20000;
  struct Channel {
    qel::manual_reset_event ping;
    qel::manual_reset_event pong;
    int value = -1;
    long sum = 0;
    int outOfOrder = 0;
  };
  std::array<Channel, kPairs> channels;
  std::vector<std::thread> threads;
  for (Channel& channel : channels) {
    threads.emplace_back([&channel] {
      for (int i = 0; i < kRounds; ++i) {
        channel.value = i;
        channel.ping.set();
        channel.pong.wait();
        channel.pong.unset();
      }
    });
    threads.emplace_back([&channel] {
      for (int i = 0; i < kRounds; ++i) {
        channel.ping.wait();
        channel.ping.unset();
        if (channel.value != i) {
          ++channel.outOfOrder;
        }
        channel.sum += channel.value;
        channel.pong.set();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const Channel& channel : channels) {
    EXPECT_EQ(channel.outOfOrder, 0);
    EXPECT_EQ(channel.sum, static_cast<long>(kRounds) * (kRounds - 1) / 2);
  }
}

}  // namespace
