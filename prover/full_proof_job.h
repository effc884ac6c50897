#pragma once

#include <cstdint>
#include <memory>

#include "prover/proof_tree_job.h"

class QualityJob;

// Recovers the full proof behind a table-4 position: resolves every node of the proof tree,
// recomputes every leaf, picks the one combination of the leaves' candidates that forms a valid
// proof and checks it against the challenge. Queued through PlotAccessEngine::QueueFullProof.
class FullProofJob final : public ProofTreeJob {
 public:
  // With a source quality job (which must have completed, else "E736427E"), its reads and
  // recomputed leaves are taken over and its x pair becomes the expected one.
  FullProofJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
               CompletionQueue* queue, void* owner, uint64_t matchPosition,
               const uint8_t challenge[32], const QualityJob* source, uint8_t lowPriority);

  bool IsReady(uint32_t stage) const override;
  void Step(uint32_t stage, uint64_t argument) override;
  uint32_t Kind() const override { return 2; }

  // After a completion without failure: the 64 x values in matching order, each stored
  // big-endian.
  const uint32_t* Proof() const { return proof_; }
  // True when no x pair is expected (no source, or the source could not give one).
  bool SkipXPairCheck() const { return skipXPairCheck_ != 0; }
  uint64_t ExpectedXPair() const { return expectedXPair_; }

 private:
  // With the engine mutex held and every leaf resolved: the proof, or a failure.
  void Assemble();

  uint8_t skipXPairCheck_ = 1;
  uint64_t expectedXPair_ = 0;
  uint32_t proof_[64] = {};
  std::unique_ptr<ProofCombinations> combinations_;
};
