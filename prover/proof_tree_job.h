#pragma once

#include <cstdint>
#include <memory>

#include "prover/plot_job.h"
#include "prover/proof_tree.h"

// What the quality and full-proof jobs share: the tree, its read step (stage 0) and its leaf
// recomputation step (stage 1). Stage 2 is each job's own.
class ProofTreeJob : public PlotJob {
 public:
  // The job's tree; read and changed under the engine mutex only.
  ProofTreeState& Tree() { return tree_; }
  const ProofTreeState& Tree() const { return tree_; }
  const uint8_t* Challenge() const { return challenge_; }
  uint64_t MatchPosition() const { return matchPosition_; }

  // Time spent, summed over steps (steady clock, nanoseconds), and leaves recomputed; read
  // after the job completed.
  uint64_t ReadNanoseconds() const { return readNs_; }
  uint64_t RecomputeNanoseconds() const { return recomputeNs_; }
  uint64_t TreeNanoseconds() const { return treeNs_; }
  uint64_t LeavesRecomputed() const { return leavesRecomputed_; }

 protected:
  ProofTreeJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
               CompletionQueue* queue, void* owner, uint64_t matchPosition,
               const uint8_t challenge[32], bool lowPriority, const char* noCandidateCode);

  // Reads and decodes the last node of the read list.
  void ReadStep(uint64_t readWorker);
  // Recomputes the last leaf of the recomputation list; no candidate fails with
  // noCandidateCode.
  void RecomputeStep();
  // With the engine mutex held, at the end of a stage-2 step: completes the job on a failure or
  // when `complete`, else waits for the other stages.
  void EndTreeStep(std::exception_ptr failure, bool complete, uint64_t nanoseconds);

  ProofTreeState tree_;
  uint8_t challenge_[32];
  uint64_t matchPosition_;
  uint8_t treeWorkReady_ = 1;
  uint8_t busy_ = 0;  // a recomputation is running

 private:
  bool lowPriority_;
  const char* noCandidateCode_;
  uint64_t readNs_ = 0;
  uint64_t recomputeNs_ = 0;
  uint64_t treeNs_ = 0;
  uint64_t leavesRecomputed_ = 0;
};

// Steady-clock nanoseconds since `start`; a clock step cannot turn it negative.
uint64_t NanosecondsSince(int64_t start);
int64_t SteadyNow();
