#include "prover/full_proof_job.h"

#include <mutex>
#include <stdexcept>

#include "plotter/plot_file.h"
#include "prover/plot_access_engine.h"
#include "prover/quality_job.h"
#include "runtime/file_error_texts.h"

FullProofJob::FullProofJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot,
                           int64_t priority, CompletionQueue* queue, void* owner,
                           uint64_t matchPosition, const uint8_t challenge[32],
                           const QualityJob* source, uint8_t lowPriority)
    : ProofTreeJob(engine, std::move(plot), priority, queue, owner, matchPosition, challenge,
                   lowPriority != 0, "4EC8F6E0"),
      combinations_(std::make_unique<ProofCombinations>()) {
  if (source == nullptr) return;
  if (!source->Done()) throw std::runtime_error("E736427E");
  skipXPairCheck_ = source->Fallback() ? 1 : 0;
  expectedXPair_ = source->XPair();
  tree_.data = source->Tree().data;
  for (uint32_t node = 0; node < kProofNodeCount; ++node) {
    if (tree_.data.values[node] != ~uint64_t{0}) {
      tree_.nodes[node].queuedForRead = 1;
      tree_.nodes[node].valueKnown = 1;
    }
  }
  for (uint32_t leaf = 0; leaf < kProofLeafCount; ++leaf) {
    if (tree_.data.candidateCounts[leaf] != 0) {
      tree_.nodes[leaf].queuedForRecompute = 1;
      tree_.nodes[leaf].resolved = 1;
    }
  }
}

bool FullProofJob::IsReady(uint32_t stage) const {
  if (stage > kStageTree) throw std::runtime_error("3ED6683E");
  if (Done()) return false;
  if (stage == kStageRead) return tree_.readCount != 0;
  if (stage == kStageCompute) return busy_ == 0 && tree_.recomputeCount != 0;
  return busy_ == 0 && treeWorkReady_ != 0;
}

void FullProofJob::Step(uint32_t stage, uint64_t argument) {
  if (stage > kStageTree) throw std::runtime_error("4E71FF94");
  if (stage == kStageRead) return ReadStep(argument);
  if (stage == kStageCompute) return RecomputeStep();
  std::lock_guard<std::mutex> lock(engine_.Mutex());
  if (Done() || busy_ != 0 || treeWorkReady_ == 0) return;
  const int64_t start = SteadyNow();
  std::exception_ptr failure;
  bool complete = false;
  try {
    complete = ProofTree::DecodeNode(tree_, kProofRoot);
    if (complete) Assemble();
  } catch (...) {
    failure = std::current_exception();
  }
  EndTreeStep(failure, complete, NanosecondsSince(start));
}

void FullProofJob::Assemble() {
  auto fail = [this](const char* code) {
    ++Plot().failedProofCount;
    throw std::runtime_error(FileErrorText(FileError::kInvalidPlotFile, code));
  };
  uint64_t f7 = 0;
  if (!combinations_->Choose(tree_, proof_, f7)) fail("72F8F5E5");
  const uint64_t target = uint64_t{challenge_[0]} << 24 | uint64_t{challenge_[1]} << 16 |
                          uint64_t{challenge_[2]} << 8 | challenge_[3];
  if (f7 >> 6 != target) fail("B5411A97");
}
