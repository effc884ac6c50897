#pragma once

#include <cstdint>

#include "prover/proof_tree_job.h"

// Recovers the x pair of a proof's quality: walks one path from the root (the scan's table-4
// position) to the leaf that challenge byte 31 selects, deciding the children's order on the
// way, and takes the pair from that leaf. Built by its consumer through
// PlotAccessEngine::QueueJob<QualityJob>(plot, priority, queue, owner, position, challenge).
class QualityJob final : public ProofTreeJob {
 public:
  QualityJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
             CompletionQueue* queue, void* owner, uint64_t matchPosition,
             const uint8_t challenge[32]);

  bool IsReady(uint32_t stage) const override;
  void Step(uint32_t stage, uint64_t argument) override;
  uint32_t Kind() const override { return 1; }

  // After a completion without failure: the x pair's 8 bytes (smaller x, larger x, each
  // big-endian) unless the fallback byte is set, when only the full proof can give the pair.
  uint64_t XPair() const { return xPair_; }
  bool Fallback() const { return tree_.fallback != 0; }

 private:
  uint32_t current_ = kProofRoot;
  uint64_t xPair_ = 0;
};
