#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "manager/client_config.h"
#include "manager/directory_spec.h"
#include "prover/signage_point_request.h"

// The log callback every Client message goes through (the entry point passes PrintLine).
using ClientLogCallback = std::function<void(const std::string& text)>;

// The central object of a run; the interrupt handling, the pool client and the entry point reach
// it through these operations. So far it holds only its configuration, the request and state
// flags and the submitted signage points: it has no threads, no directory scan and no proof
// search yet, so it has nothing to do and reports itself finished once built. The operations
// are virtual so that their callers can be tested against a stand-in.
class Client {
 public:
  // directories: count records in command-line order, copied.
  Client(const ClientConfig& config, const DirectorySpec* directories, size_t count,
         ClientLogCallback log);
  virtual ~Client() = default;

  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Stop after the current plot: sets the stop request and makes the manager act now. Returns
  // ManagerState (non-zero while plotting or finalization is in progress).
  virtual uint32_t RequestStop();
  // true: as RequestStop; false: save the work in progress and stop now (cancel request).
  virtual uint32_t RequestShutdown(bool stopAfterCurrentPlot);
  virtual bool IsFinished();
  // Records the request for the proof search with a deadline of now + timeLimitMs. Throws
  // "6ED5B81C" when mining is off.
  virtual void SubmitSignagePoint(std::shared_ptr<SignagePointRequest> request,
                                  uint64_t timeLimitMs);

  // Set from construction until the first directory scan has ended; read without the lock.
  std::atomic<uint8_t> StartupScanPending{1};

 protected:
  Client() = default;

  std::mutex Mutex;           // guards the fields below
  uint32_t ManagerState = 0;  // 0 idle, 1 plotting, 2 finalizing
  uint8_t StopRequest = 0;
  uint8_t CancelRequest = 0;
  uint8_t Finished = 0;
  std::chrono::steady_clock::time_point NextRunTime = std::chrono::steady_clock::now();

  const ClientConfig Config{};
  const std::vector<DirectorySpec> Directories{};
  const ClientLogCallback Log{};

  struct PendingSignagePoint {
    std::shared_ptr<SignagePointRequest> Request;
    std::chrono::steady_clock::time_point Deadline;
  };
  std::mutex MinedPlotsMutex;  // guards PendingSignagePoints
  std::vector<PendingSignagePoint> PendingSignagePoints;
};

// The process-wide holder of the one Client. Readers take the pointer each time they need it;
// the entry point clears it before it destroys the Client.
class ClientHolder {
 public:
  ClientHolder() = default;
  ~ClientHolder();  // at exit: destroys a Client that is still held

  ClientHolder(const ClientHolder&) = delete;
  ClientHolder& operator=(const ClientHolder&) = delete;

  Client* Get() const noexcept { return client_.load(std::memory_order_acquire); }
  // Calls use(Client* or null) and holds off Reset and Release until it returns, so that a
  // thread other than the owner never calls into a Client that is being destroyed.
  template <typename Use>
  auto WithClient(Use&& use) {
    std::lock_guard<std::mutex> lock(useMutex_);
    return use(Get());
  }
  // Stores the new Client (or clears the holder) once no WithClient call is running, and then
  // destroys the one held before.
  void Reset(std::unique_ptr<Client> client = nullptr);
  std::unique_ptr<Client> Release();

 private:
  std::mutex useMutex_;
  std::atomic<Client*> client_{nullptr};
};

ClientHolder& ClientInstance();

// Whether the Client's log lines carry the time prefix: it exists and its start-up scan is over.
bool ClientLogsWithTimePrefix();
