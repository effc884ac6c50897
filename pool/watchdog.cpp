#include "pool/watchdog.h"

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "pool/pool_session.h"

Timer::~Timer() {
  {
    std::lock_guard lock(mutex_);
    armed_ = false;
    exit_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Timer::Arm(std::chrono::steady_clock::time_point deadline) {
  {
    std::lock_guard lock(mutex_);
    if (exit_ || (armed_ && deadline < deadline_)) return;
    armed_ = true;
    deadline_ = deadline;
    if (!thread_.joinable()) thread_ = std::thread([this] { ThreadMain(); });
  }
  wake_.notify_all();
}

bool Timer::HasThread() {
  std::lock_guard lock(mutex_);
  return thread_.joinable();
}

void Timer::ThreadMain() {
  std::unique_lock lock(mutex_);
  while (!exit_) {
    if (!armed_) {
      wake_.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() < deadline_) {
      wake_.wait_until(lock, deadline_);
      continue;
    }
    armed_ = false;
    lock.unlock();
    try {
      callback_();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "exception in timer thread: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "exception in timer thread\n");
    }
    lock.lock();
  }
}

void PcSpeakerBeep() {
  static const int kSpeaker =
      ::open("/dev/input/by-path/platform-pcspkr-event-spkr", O_WRONLY | O_CLOEXEC);
  input_event tone{};
  tone.type = EV_SND;
  tone.code = SND_TONE;
  tone.value = 440;
  static_assert(sizeof(tone) == 24);
  // A machine without the speaker gets the BEL character alone.
  if (kSpeaker >= 0) (void)!::write(kSpeaker, &tone, sizeof tone);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  tone.value = 0;
  if (kSpeaker >= 0) (void)!::write(kSpeaker, &tone, sizeof tone);
  std::fputc(7, stdout);
  std::fflush(stdout);
}

Watchdog::Watchdog(WatchdogSetup setup)
    : setup_(std::move(setup)), WatchdogTimer([this] { WatchdogBeep(); }) {}

int64_t Watchdog::Now() const {
  return setup_.steadySeconds ? setup_.steadySeconds() : SteadySeconds();
}

void Watchdog::AlarmingEvent() {
  const int64_t now = Now();
  if (now <= LastAlarmingEvent.load() + kAlarmSeconds) {
    WatchdogAlarmTime.store(now);
    WatchdogTimer.Arm(std::chrono::steady_clock::now());
  }
  LastAlarmingEvent.store(now);
}

void Watchdog::WatchdogBeep() {
  if (WatchdogAlarmTime.load() + kAlarmSeconds < Now()) return;
  WatchdogTimer.Arm(std::chrono::steady_clock::now() + setup_.beepInterval);
  setup_.beep();
}

Watchdog& WatchdogInstance() {
  static Watchdog watchdog;
  return watchdog;
}
