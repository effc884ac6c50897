#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// A one-shot timer with its own thread, started at the first arming: the callback runs on that
// thread once the deadline has come, without the lock, so it may arm the timer again.
class Timer {
 public:
  explicit Timer(std::function<void()> callback) : callback_(std::move(callback)) {}
  // Disarms, and joins the thread once a running callback has returned.
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Arms for `deadline`, unless the timer is armed for a later one or is being destroyed.
  void Arm(std::chrono::steady_clock::time_point deadline);
  bool HasThread();

 private:
  void ThreadMain();

  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::thread thread_;
  const std::function<void()> callback_;
  bool armed_ = false;
  bool exit_ = false;
  std::chrono::steady_clock::time_point deadline_;
};

// Sounds a 440 Hz tone for 200 ms on the PC speaker (when the machine has one) and writes the
// BEL character to standard output.
void PcSpeakerBeep();

struct WatchdogSetup {
  std::function<int64_t()> steadySeconds;  // unset: the steady clock
  std::function<void()> beep = PcSpeakerBeep;
  std::chrono::milliseconds beepInterval{2000};
};

// The audible alarm of watchdog mode: a second alarming event (a lost connection, missed signage
// points) within 89 s of the one before starts a beep every 2 s, which ends once 89 s have
// passed without a new alarm.
class Watchdog {
 public:
  static constexpr int64_t kAlarmSeconds = 89;

  explicit Watchdog(WatchdogSetup setup = {});
  void AlarmingEvent();
  bool TimerHasThread() { return WatchdogTimer.HasThread(); }

 private:
  void WatchdogBeep();
  int64_t Now() const;

  const WatchdogSetup setup_;
  static constexpr int64_t kNever = INT64_MIN / 2;
  // Steady seconds: the last alarming event, and the one that last raised the alarm.
  std::atomic<int64_t> LastAlarmingEvent{kNever};
  std::atomic<int64_t> WatchdogAlarmTime{kNever};
  Timer WatchdogTimer;  // last: its thread ends before the fields above go
};

// The process-wide watchdog (built by the start-up code).
Watchdog& WatchdogInstance();
