#include "prover/quality_job.h"

#include <mutex>
#include <stdexcept>

#include "prover/plot_access_engine.h"

QualityJob::QualityJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
                       CompletionQueue* queue, void* owner, uint64_t matchPosition,
                       const uint8_t challenge[32])
    : ProofTreeJob(engine, std::move(plot), priority, queue, owner, matchPosition, challenge,
                   false, "78DDB268") {}

bool QualityJob::IsReady(uint32_t stage) const {
  if (stage > kStageTree) throw std::runtime_error("D50E17BC");
  if (Done()) return false;
  if (stage == kStageRead) return tree_.readCount != 0;
  if (stage == kStageCompute) return tree_.recomputeCount != 0 && busy_ == 0;
  return treeWorkReady_ != 0;
}

void QualityJob::Step(uint32_t stage, uint64_t argument) {
  if (stage > kStageTree) throw std::runtime_error("84EA01A4");
  if (stage == kStageRead) return ReadStep(argument);
  if (stage == kStageCompute) return RecomputeStep();
  std::lock_guard<std::mutex> lock(engine_.Mutex());
  if (Done() || treeWorkReady_ == 0) return;
  const int64_t start = SteadyNow();
  std::exception_ptr failure;
  bool complete = false;
  try {
    complete = ProofTree::WalkToPair(tree_, current_, challenge_[31], xPair_) !=
               ProofTree::Status::kWaiting;
  } catch (...) {
    failure = std::current_exception();
  }
  EndTreeStep(failure, complete, NanosecondsSince(start));
}
