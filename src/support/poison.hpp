// Poisoning for the objects whose state one or more mutexes guard (a store, an
// incremental reducer). A fatal internal error while any of the object's
// mutexes is held poisons the object for good: every later operation fails at
// once with the object's message. An allocation failure does not poison:
// operations leave the state as it was when one fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "support/fatal.hpp"

namespace weftory::support {

class PoisonFlag {
 public:
  // `message` is the text every operation fails with once poisoned; with
  // `with_reason`, ": " and what the first failure said follow it.
  constexpr PoisonFlag(const char* message, bool with_reason) : message_(message), with_reason_(with_reason) {}

  // Runs f holding `mutex`.
  template <class Mutex, class F>
  decltype(auto) locked(Mutex& mutex, F&& f) const {
    std::lock_guard<Mutex> guard(mutex);
    if (poisoned()) fail();
    try {
      return f();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      poison(e.what());
      throw;
    }
  }

  bool poisoned() const { return state_.load(std::memory_order_acquire) != kHealthy; }

  [[noreturn]] void fail() const {
    if (!with_reason_) fatal(message_);
    // The thread that poisoned the object may still be writing the reason.
    while (state_.load(std::memory_order_acquire) != kPoisoned) std::this_thread::yield();
    fatal(std::string(message_) + ": " + reason_);
  }

  void poison(const char* what) const noexcept {
    std::uint32_t healthy = kHealthy;
    if (!state_.compare_exchange_strong(healthy, kPoisoning, std::memory_order_acquire)) return;
    if (with_reason_) {
      try {
        reason_ = std::string("a previous operation failed while holding it (") + what + ")";
      } catch (...) {
        // No memory for the reason: the object is poisoned all the same.
      }
    }
    state_.store(kPoisoned, std::memory_order_release);
  }

 private:
  static constexpr std::uint32_t kHealthy = 0, kPoisoning = 1, kPoisoned = 2;
  const char* message_;
  bool with_reason_;
  mutable std::atomic<std::uint32_t> state_{kHealthy};
  mutable std::string reason_;  // written once, before state_ becomes kPoisoned
};

}  // namespace weftory::support
