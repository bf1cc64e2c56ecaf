#include "support/short_mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace weftory {
namespace {

TEST(ShortMutex, TryLockFailsWhileHeld) {
  ShortMutex m;
  ASSERT_TRUE(m.try_lock());
  EXPECT_FALSE(m.try_lock());
  m.unlock();
  EXPECT_TRUE(m.try_lock());
  m.unlock();
}

// More threads than cores, so holders are preempted inside the critical
// section and waiters go through both the spinning and the sleeping path.
TEST(ShortMutexThreads, EveryIncrementUnderTheLockCounts) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 20000;
  ShortMutex m;
  long counter = 0;  // plain: only the mutex orders the threads' accesses
  std::vector<long> last_seen(kThreads, -1);
  std::vector<std::thread> threads;
  bool ordered = true;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<ShortMutex> guard(m);
        const long before = counter;
        // A second thread inside would see the value change under it.
        if (i % 64 == 0) std::this_thread::yield();
        if (counter != before || before <= last_seen[static_cast<std::size_t>(t)]) ordered = false;
        counter = before + 1;
        last_seen[static_cast<std::size_t>(t)] = before;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  EXPECT_TRUE(ordered);
}

// Threads that take the lock again the moment they release it would keep a
// sleeping waiter out for ever if newcomers could always barge in; the
// waiter that has waited long must get its turn. A starving waiter shows as
// this test never ending.
TEST(ShortMutexThreads, AWaiterGetsInWhileOthersHammerTheLock) {
  constexpr int kHammers = 3;
  ShortMutex m;
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  long work = 0;
  std::vector<long> turns(kHammers, 0);
  std::vector<std::thread> hammers;
  for (int t = 0; t < kHammers; ++t) {
    hammers.emplace_back([&, t] {
      started.fetch_add(1);
      while (!done.load(std::memory_order_relaxed)) {
        m.lock();
        for (int i = 0; i < 200; ++i) ++work;
        m.unlock();
        ++turns[static_cast<std::size_t>(t)];
      }
    });
  }
  while (started.load() < kHammers) std::this_thread::yield();
  for (int round = 0; round < 50; ++round) {
    m.lock();
    ++work;
    m.unlock();
  }
  done = true;
  for (auto& th : hammers) th.join();
  long expected = 50;
  for (long n : turns) expected += 200 * n;
  EXPECT_EQ(work, expected);
}

}  // namespace
}  // namespace weftory
