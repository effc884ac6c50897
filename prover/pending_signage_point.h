#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "prover/plot_job.h"
#include "prover/signage_point_request.h"

// One submitted signage point while its jobs are outstanding. Every job queued for it names it
// as owner and stays in Jobs until the mining thread has taken it back from the completion
// queue, so the record outlives every job that can still point at it.
struct PendingSignagePoint {
  std::shared_ptr<SignagePointRequest> Request;
  std::chrono::steady_clock::time_point Deadline;
  std::vector<std::shared_ptr<PlotJob>> Jobs;
  uint64_t Sequence = 0;
  // Once set, the jobs that come back are only taken back, never handled.
  std::atomic<bool> Expired{false};

  PendingSignagePoint() = default;
  // Cancels the jobs still listed, in list order.
  ~PendingSignagePoint();
  PendingSignagePoint(const PendingSignagePoint&) = delete;
  PendingSignagePoint& operator=(const PendingSignagePoint&) = delete;
};

// Scans and quality lookups: older signage points first, all before any normal full proof
// (whose priority is the plain sequence number).
inline int64_t ScanPriority(uint64_t sequence) {
  return static_cast<int64_t>(sequence + (uint64_t{1} << 63) + 1);
}
