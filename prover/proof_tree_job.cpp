#include "prover/proof_tree_job.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "plotter/plot_file.h"
#include "prover/plot_access_engine.h"
#include "runtime/file_error_texts.h"

int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint64_t NanosecondsSince(int64_t start) { return static_cast<uint64_t>(SteadyNow() - start); }

ProofTreeJob::ProofTreeJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot,
                           int64_t priority, CompletionQueue* queue, void* owner,
                           uint64_t matchPosition, const uint8_t challenge[32], bool lowPriority,
                           const char* noCandidateCode)
    : PlotJob(engine, std::move(plot), priority, queue, owner),
      matchPosition_(matchPosition),
      lowPriority_(lowPriority),
      noCandidateCode_(noCandidateCode) {
  std::memcpy(challenge_, challenge, sizeof(challenge_));
  tree_.nodes[kProofRoot].position = matchPosition;
  tree_.scaleGroups = engine.Options().scale.groups;
}

void ProofTreeJob::ReadStep(uint64_t readWorker) {
  uint32_t node = 0;
  uint64_t position = 0;
  {
    std::lock_guard<std::mutex> lock(engine_.Mutex());
    if (Done() || tree_.readCount == 0) return;
    node = tree_.readList[--tree_.readCount];
    position = tree_.nodes[node].position;
  }
  const int64_t start = SteadyNow();
  std::exception_ptr failure;
  uint64_t value = 0;
  try {
    value = Plot().ReadAndDecodeRange(ProofTree::NodeTable(node), position, readWorker);
  } catch (...) {
    failure = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(engine_.Mutex());
  readNs_ += NanosecondsSince(start);
  if (Done()) return;
  if (failure) return Finish(failure);
  tree_.data.values[node] = value;
  tree_.nodes[node].valueKnown = 1;
  treeWorkReady_ = 1;
}

void ProofTreeJob::RecomputeStep() {
  uint32_t leaf = 0;
  uint64_t value = 0;
  {
    std::lock_guard<std::mutex> lock(engine_.Mutex());
    if (Done() || busy_ != 0 || tree_.recomputeCount == 0) return;
    leaf = tree_.recomputeList[--tree_.recomputeCount];
    value = tree_.data.values[leaf];
    busy_ = 1;
  }
  uint8_t candidates[kLeafCandidates][16];
  uint64_t data[kLeafCandidates];
  uint64_t count = 0;
  int64_t start = 0;
  std::exception_ptr failure;
  try {
    uint32_t prefixes[4];
    const uint8_t level = Plot().header.level;
    ProofTree::DecodeLeafPrefixes(value, level, prefixes);
    start = SteadyNow();
    count = RecomputeFromPrefixes(engine_, Plot().header.plotId, level, prefixes, candidates,
                                  kLeafCandidates, data, kLeafCandidates, lowPriority_);
  } catch (...) {
    failure = std::current_exception();
  }
  const uint64_t elapsed = start != 0 ? NanosecondsSince(start) : 0;
  if (!failure && count == 0) {
    failure = std::make_exception_ptr(
        std::runtime_error(FileErrorText(FileError::kInvalidPlotFile, noCandidateCode_)));
  }
  std::lock_guard<std::mutex> lock(engine_.Mutex());
  busy_ = 0;
  recomputeNs_ += elapsed;
  ++leavesRecomputed_;
  if (Done()) return;
  if (failure) return Finish(failure);
  std::memcpy(tree_.data.candidates[leaf], candidates, count * 16);
  std::memcpy(tree_.data.candidateData[leaf], data, count * sizeof(uint64_t));
  tree_.data.candidateCounts[leaf] = count;
  tree_.nodes[leaf].resolved = 1;
  treeWorkReady_ = 1;
}

void ProofTreeJob::EndTreeStep(std::exception_ptr failure, bool complete, uint64_t nanoseconds) {
  treeNs_ += nanoseconds;
  if (failure || complete) {
    Finish(failure);
  } else {
    treeWorkReady_ = 0;
  }
}
