#include "support/short_mutex.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace weftory::support {
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

// How a thread that keeps taking the lock comes back for it after a release.
struct Comeback {
  const char* name;
  bool by_try_lock;                 // spinning on try_lock rather than lock()
  std::chrono::microseconds hold;   // time in the critical section per turn
  friend void PrintTo(const Comeback& c, std::ostream* os) { *os << c.name; }
};

class ShortMutexThreadsFairness : public ::testing::TestWithParam<Comeback> {};

// A thread that releases and re-takes the lock in a loop would keep a
// sleeping waiter out for ever if it could always barge in. Once the waiter
// has claimed the next turn (seen by the holder under the lock), the holder's
// next acquisition must come after the waiter's. No timing decides that: the
// claim is read under the lock, so a lock that honours it passes every round
// and one that drops it on release fails at the first claim.
TEST_P(ShortMutexThreadsFairness, AClaimedTurnGoesToTheWaiter) {
  const Comeback comeback = GetParam();
  constexpr int kClaimsWanted = 5;
  constexpr int kMaxRounds = 200;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int claims = 0;
  for (int round = 0; round < kMaxRounds && claims < kClaimsWanted; ++round) {
    ShortMutex m;
    std::atomic<bool> served{false};
    m.lock();
    std::thread waiter([&] {
      m.lock();
      served.store(true);
      m.unlock();
    });
    // The waiter goes to sleep on the lock and outlasts the starvation limit.
    std::this_thread::sleep_for(2 * ShortMutex::kStarvationLimit);
    bool barged = false;
    bool late = false;
    while (!served.load() && !barged && !late) {
      const bool claimed = m.turn_reserved();
      m.unlock();
      if (comeback.by_try_lock) {
        while (!m.try_lock()) std::this_thread::yield();
      } else {
        m.lock();
      }
      if (claimed) ++claims;
      barged = claimed && !served.load();
      if (comeback.hold.count() > 0) std::this_thread::sleep_for(comeback.hold);
      late = std::chrono::steady_clock::now() > give_up;
    }
    m.unlock();
    waiter.join();
    ASSERT_FALSE(late) << "the waiter never got the lock";
    ASSERT_FALSE(barged) << "round " << round << ": the lock went to another thread after the waiter had claimed it";
  }
  // Rounds in which the waiter got in before claiming test nothing; some must have claimed.
  EXPECT_GT(claims, 0);
}

INSTANTIATE_TEST_SUITE_P(Comebacks, ShortMutexThreadsFairness,
                         ::testing::Values(Comeback{"lock", false, std::chrono::microseconds(0)},
                                           Comeback{"try_lock", true, std::chrono::microseconds(0)},
                                           Comeback{"lock_after_a_long_hold", false, std::chrono::microseconds(200)}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace weftory::support
