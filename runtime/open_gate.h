#pragma once

#include <atomic>
#include <cstdint>

// A one-shot gate between a thread that prepares something and the threads that use it: they
// wait while it is closed, and learn whether it was opened or given up on.
class OpenGate {
 public:
  // Blocks while the gate is closed; true once it is open, false once it has failed.
  bool Pass() const {
    uint8_t seen = state_.load(std::memory_order_acquire);
    while (seen == kClosed) {
      state_.wait(kClosed, std::memory_order_acquire);
      seen = state_.load(std::memory_order_acquire);
    }
    return seen == kOpen;
  }
  // What was written before Open is seen by every thread Pass lets through.
  void Open() { Settle(kOpen); }
  // Lets every waiter go empty-handed. Idempotent, and no effect on a gate already open.
  void Fail() { Settle(kFailed); }

 private:
  static constexpr uint8_t kClosed = 0;
  static constexpr uint8_t kOpen = 1;
  static constexpr uint8_t kFailed = 2;

  void Settle(uint8_t to) {
    uint8_t expected = kClosed;
    if (state_.compare_exchange_strong(expected, to, std::memory_order_release,
                                       std::memory_order_relaxed)) {
      state_.notify_all();
    }
  }

  mutable std::atomic<uint8_t> state_{kClosed};
};
