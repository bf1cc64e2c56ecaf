// A mutex for critical sections of a few hundred nanoseconds. Taking it when
// it is free is one compare-and-swap, and so is releasing it when nobody waits. A
// thread that finds it taken spins a little first (the holder is usually
// about to leave), then sleeps on the lock word through a futex
// (std::atomic::wait). A sleeper that has waited longer than kStarvationLimit
// claims the next turn: from then on nobody barges in ahead of it, and the
// next release wakes it, so no thread waits for ever however busy the lock.
//
// Meets the standard Lockable requirements (usable with std::lock_guard).
//
// Under ThreadSanitizer the lock tells the runtime that it is a mutex (its
// mutex annotations): reports then name the locks each thread held, and the
// runtime checks the order in which threads take these locks against each
// other and against std::mutex, so an inversion that could deadlock is
// reported even when the run did not deadlock. Without the annotations the
// runtime sees only the atomics inside, which order memory but are no lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define WEFTORY_TSAN_MUTEX 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WEFTORY_TSAN_MUTEX 1
#endif
#endif
#ifdef WEFTORY_TSAN_MUTEX
#include <sanitizer/tsan_interface.h>
#endif

namespace weftory::support {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

class ShortMutex {
 public:
  static constexpr int kSpins = 128;
  static constexpr std::chrono::microseconds kStarvationLimit{1000};

  ShortMutex() = default;
  ShortMutex(const ShortMutex&) = delete;
  ShortMutex& operator=(const ShortMutex&) = delete;
  ~ShortMutex() { annotate_destroy(); }

  void lock() {
    annotate_pre_lock(0);
    std::uint32_t expected = 0;
    if (!state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) {
      lock_slow();
    }
    annotate_post_lock(0);
  }

  bool try_lock() {
    annotate_pre_lock(kTryLock);
    std::uint32_t s = state_.load(std::memory_order_relaxed);
    const bool taken =
        (s & (kLocked | kReserved)) == 0 &&
        state_.compare_exchange_strong(s, s | kLocked, std::memory_order_acquire, std::memory_order_relaxed);
    annotate_post_lock(taken ? kTryLock : kTryLock | kTryLockFailed);
    return taken;
  }

  // Whether a starving waiter has claimed the next turn: a snapshot, for
  // tests and diagnostics. Read by the holder, it stays true until that
  // waiter has taken the lock.
  bool turn_reserved() const noexcept { return (state_.load(std::memory_order_relaxed) & kReserved) != 0; }

  void unlock() {
    annotate_pre_unlock();
    release();
    annotate_post_unlock();
  }

 private:
  static constexpr std::uint32_t kLocked = 1;
  // Some thread may be asleep on the lock word.
  static constexpr std::uint32_t kSleepers = 2;
  // A starving thread has claimed the next turn.
  static constexpr std::uint32_t kReserved = 4;

  // The ThreadSanitizer mutex annotations, around the atomics that take and
  // release the lock (the runtime ignores those); nothing in other builds.
#ifdef WEFTORY_TSAN_MUTEX
  static constexpr unsigned kTryLock = __tsan_mutex_try_lock;
  static constexpr unsigned kTryLockFailed = __tsan_mutex_try_lock_failed;
  void annotate_pre_lock(unsigned flags) { __tsan_mutex_pre_lock(this, flags); }
  void annotate_post_lock(unsigned flags) { __tsan_mutex_post_lock(this, flags, 0); }
  void annotate_pre_unlock() { __tsan_mutex_pre_unlock(this, 0); }
  void annotate_post_unlock() { __tsan_mutex_post_unlock(this, 0); }
  void annotate_destroy() { __tsan_mutex_destroy(this, 0); }
#else
  static constexpr unsigned kTryLock = 0;
  static constexpr unsigned kTryLockFailed = 0;
  void annotate_pre_lock(unsigned) {}
  void annotate_post_lock(unsigned) {}
  void annotate_pre_unlock() {}
  void annotate_post_unlock() {}
  void annotate_destroy() {}
#endif

  void release() {
    // Nobody waiting: one compare-and-swap (a fetch_and that returns the
    // old value is a compare-and-swap loop on x86 anyway).
    std::uint32_t expected = kLocked;
    if (state_.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed)) return;
    // The sleepers flag goes with the lock: a woken thread sets it again
    // when it takes the lock or goes back to sleep, so none is forgotten.
    const std::uint32_t old = state_.fetch_and(kReserved, std::memory_order_release);
    if (old & kReserved) {
      // Only the thread that reserved the next turn may take it, and it
      // cannot be woken alone: wake them all, the others sleep again.
      state_.notify_all();
    } else if (old & kSleepers) {
      state_.notify_one();
    }
  }

  [[gnu::noinline]] void lock_slow() {
    for (int i = 0; i < kSpins; ++i) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if ((s & (kLocked | kReserved)) == 0) {
        if (state_.compare_exchange_weak(s, s | kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      if (s & kSleepers) break;  // others already sleep: spinning would only jump the queue
      cpu_relax();
    }
    const auto since = std::chrono::steady_clock::now();
    bool reserved = false;  // this thread holds the reservation
    for (;;) {
      std::uint32_t s = state_.load(std::memory_order_relaxed);
      if ((s & kLocked) == 0 && (reserved || (s & kReserved) == 0)) {
        // Taken with the sleepers flag: this thread cannot tell whether it
        // was the last sleeper, so its release must wake the next.
        const std::uint32_t taken = (s | kLocked | kSleepers) & ~(reserved ? kReserved : 0);
        if (state_.compare_exchange_weak(s, taken, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      std::uint32_t want = s | kSleepers;
      if (!reserved && (s & kReserved) == 0 && std::chrono::steady_clock::now() - since >= kStarvationLimit) {
        want |= kReserved;
      }
      if (want != s) {
        if (!state_.compare_exchange_weak(s, want, std::memory_order_relaxed, std::memory_order_relaxed)) continue;
        if (want & ~s & kReserved) reserved = true;
      }
      state_.wait(want, std::memory_order_relaxed);
    }
  }

  std::atomic<std::uint32_t> state_{0};
};

}  // namespace weftory::support
