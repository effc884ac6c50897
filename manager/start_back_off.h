#pragma once

#include <chrono>
#include <cstdint>

// The rest given to disks and memory between attempts at work that keeps failing: 10 s after
// the first failure, doubling with each further one up to 10 min. A success starts over.
class StartBackOff {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  void Failed(TimePoint now);
  void Succeeded() { failures_ = 0; }
  bool Pausing(TimePoint now) const { return now < pauseEnd_; }

 private:
  uint32_t failures_ = 0;  // in a row, capped where the pause reaches its maximum
  TimePoint pauseEnd_{};
};
