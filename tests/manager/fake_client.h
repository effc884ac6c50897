#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "manager/client.h"

// A Client for tests: each operation runs its hook when one is set and the real Client's
// otherwise, and the state the requests act on can be read and set.
class FakeClient : public Client {
 public:
  FakeClient() = default;
  ~FakeClient() override {
    if (onDestroy) onDestroy();
  }

  uint32_t RequestStop() override { return onStop ? onStop() : Client::RequestStop(); }
  uint32_t RequestShutdown(bool stopAfterCurrentPlot) override {
    return onShutdown ? onShutdown(stopAfterCurrentPlot)
                      : Client::RequestShutdown(stopAfterCurrentPlot);
  }
  bool IsFinished() override { return onIsFinished ? onIsFinished() : Client::IsFinished(); }
  void SubmitSignagePoint(std::shared_ptr<SignagePointRequest> request,
                          uint64_t timeLimitMs) override {
    if (onSubmit) return onSubmit(std::move(request), timeLimitMs);
    Client::SubmitSignagePoint(std::move(request), timeLimitMs);
  }

  void SetManagerState(uint32_t state) {
    std::lock_guard lock(Mutex);
    ManagerState = state;
  }
  void SetFinished() {
    std::lock_guard lock(Mutex);
    Finished = 1;
  }
  bool StopRequested() {
    std::lock_guard lock(Mutex);
    return StopRequest != 0;
  }
  bool CancelRequested() {
    std::lock_guard lock(Mutex);
    return CancelRequest != 0;
  }
  std::chrono::steady_clock::time_point NextRun() {
    std::lock_guard lock(Mutex);
    return NextRunTime;
  }

  std::function<uint32_t()> onStop;
  std::function<uint32_t(bool stopAfterCurrentPlot)> onShutdown;
  std::function<bool()> onIsFinished;
  std::function<void(std::shared_ptr<SignagePointRequest>, uint64_t timeLimitMs)> onSubmit;
  std::function<void()> onDestroy;
};
