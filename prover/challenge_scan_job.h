#pragma once

#include <cstdint>

#include "prover/plot_job.h"

// Finds the entries of the plot's table 5 that belong to a challenge. Table 5 holds sorted
// values v = f * D + p (D = table 4's entry count, f a 32-bit output); the challenge's first
// four bytes, big-endian, are the target f, and every p of a value with v / D equal to it is
// collected, in table order. One read-stage step.
class ChallengeScanJob final : public PlotJob {
 public:
  static constexpr uint64_t kMaxPositions = 128;

  ChallengeScanJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
                   CompletionQueue* queue, void* owner, const uint8_t challenge[32]);

  bool IsReady(uint32_t stage) const override;
  void Step(uint32_t stage, uint64_t readWorker) override;
  uint32_t Kind() const override { return 0; }

  // Valid once the job completed without failure.
  const uint64_t* Positions() const { return positions_; }
  uint64_t Count() const { return count_; }
  const uint8_t* Challenge() const { return challenge_; }

 private:
  // Reads windows of at most 32 blocks from the index's first candidate block until a block's
  // anchor passes the target or the candidate range ends; returns the number of positions.
  uint64_t Scan(uint64_t readWorker);

  uint8_t busy_ = 0;
  uint8_t challenge_[32];
  uint64_t positions_[kMaxPositions] = {};
  uint64_t count_ = 0;
};
