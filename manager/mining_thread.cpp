#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "manager/client.h"
#include "manager/mining_rules.h"
#include "prover/challenge_scan_job.h"
#include "prover/full_proof_job.h"
#include "prover/operation_cancelled.h"
#include "prover/proof_order.h"
#include "prover/quality_job.h"
#include "runtime/file_error_texts.h"

namespace {

constexpr auto kQueueWait = std::chrono::milliseconds(100);
constexpr auto kTopPriorityExtension = std::chrono::seconds(60);

std::string WithText(const std::string& message, const char* separator) {
  try {
    throw;
  } catch (const std::exception& error) {
    return message + separator + error.what();
  } catch (...) {
    return message;
  }
}

// Inside a catch block: the message for the failure being handled.
std::string CodeError(const char* code) { return WithText(std::string("ERROR: ") + code, ": "); }

// Inside a catch block: the job's failure message, or nothing for a cancelled job.
std::string JobError(const char* what, const PlotFile& plot) {
  try {
    throw;
  } catch (const OperationCancelled&) {
    return "";
  } catch (...) {
    return WithText(std::string("ERROR: ") + what + " \"" + plot.path.string() + "\"", ": ");
  }
}

// Inside a catch block: a failure no step of the job expected.
std::string UnexpectedError() {
  const std::string message = WithText("ERROR", ": ");
  return message == "ERROR" ? "ERROR: 4685180A" : message;
}

}  // namespace

std::string StaleProofWarning(uint64_t staleProofs, uint64_t proofsRequested, bool& staleSeen) {
  const uint64_t threshold = proofsRequested <= 1199 ? 5 : proofsRequested / 200;
  if (staleProofs >= threshold) {
    staleSeen = true;
    return "WARNING: Too many stale proofs! " + std::to_string(staleProofs) + " proofs out of " +
           std::to_string(proofsRequested) +
           " were not processed in time. If no other application is loading the CPU, launch the "
           "benchmark to see if you are using too many plots or compression level is too high "
           "for this PC.";
  }
  if (staleSeen) {
    return "WARNING: Proof was not processed in time! Close other applications if they are "
           "using too much CPU if you don't want to loose shares.";
  }
  staleSeen = true;
  return "";
}

std::string SlowProofWarning(const std::string& plotStem, int64_t preparationNs) {
  if (preparationNs <= 3999999999) return "";
  return "WARNING: Proof preparation from \"" + plotStem + "\" took " +
         std::to_string(preparationNs / 1000000) +
         " milliseconds, this should be below 4 seconds to minimize risk of losing rewards";
}

void Client::MiningThread() {
  try {
    for (;;) {
      {
        std::lock_guard lock(Mutex);
        if (ThreadStop) return;
      }
      if (CompletionEvent* event = JobCompletionQueue.TakeFor(kQueueWait)) {
        PlotJob& job = static_cast<PlotJob&>(*event);
        auto& record = *static_cast<PendingSignagePoint*>(job.OwnerPointer());
        // A failure costs this job only: the thread must go on releasing jobs, or signage
        // points pile up and plotting I/O stays paused.
        try {
          if (!record.Expired) {
            switch (job.Kind()) {
              case 0:
                HandleScan(record, static_cast<ChallengeScanJob&>(job));
                break;
              case 1:
                HandleQuality(record, static_cast<QualityJob&>(job));
                break;
              case 2:
                HandleFullProof(record, static_cast<FullProofJob&>(job));
                break;
              default:
                throw std::runtime_error("51AC0259");
            }
          }
        } catch (...) {
          log_(UnexpectedError());
        }
        TakeJobBack(record, &job);
      }
      try {
        std::lock_guard lock(MinedPlotsMutex);
        ExpireAndRemove();
      } catch (...) {
        log_(UnexpectedError());
      }
    }
  } catch (...) {
    log_(UnexpectedError());
  }
}

void Client::HandleScan(PendingSignagePoint& record, ChallengeScanJob& scan) {
  try {
    scan.Wait();
  } catch (...) {
    const std::string message = JobError("Failed to find proofs in", scan.Plot());
    if (!message.empty()) log_(message);
    return;
  }
  PlotAccessEngine& engine = *Engine;
  ReserveJobs(record, scan.Count());
  for (uint64_t i = 0; i < scan.Count(); ++i) {
    std::shared_ptr<QualityJob> quality = engine.QueueJob<QualityJob>(
        &scan.Plot(), ScanPriority(record.Sequence), &JobCompletionQueue, &record,
        scan.Positions()[i], scan.Challenge());
    std::lock_guard lock(MinedPlotsMutex);
    record.Jobs.push_back(std::move(quality));
  }
}

void Client::HandleQuality(PendingSignagePoint& record, QualityJob& quality) {
  try {
    quality.Wait();
  } catch (...) {
    const std::string message = JobError("Failed to read quality string from", quality.Plot());
    if (!message.empty()) log_(message);
    return;
  }
  const uint8_t lowPriority = ManagerState.load() == 0 ? 1 : 0;
  if (quality.Fallback()) return QueueProofOf(record, quality, record.Sequence, lowPriority);
  int result = 0;
  try {
    result = record.Request->CheckQuality(quality.Plot().header.plotId, quality.Challenge(),
                                          quality.XPair());
  } catch (...) {
    log_(CodeError("9433FE9F"));
    return;
  }
  if (result == 0) return;
  if (result != 2) return QueueProofOf(record, quality, record.Sequence, lowPriority);
  {
    std::lock_guard lock(MinedPlotsMutex);
    record.Deadline += kTopPriorityExtension;
  }
  QueueProofOf(record, quality, INT64_MIN, 0);
}

void Client::QueueProofOf(PendingSignagePoint& record, QualityJob& quality, int64_t priority,
                          uint8_t lowPriority) {
  try {
    ReserveJobs(record, 1);
    std::shared_ptr<FullProofJob> proof =
        Engine->QueueFullProof(&quality.Plot(), quality.MatchPosition(), quality.Challenge(),
                               priority, &JobCompletionQueue, &record, &quality, lowPriority);
    std::lock_guard lock(MinedPlotsMutex);
    record.Jobs.push_back(std::move(proof));
    ++ProofsRequested;
  } catch (...) {
    log_(CodeError("B67EDEE2"));
  }
}

void Client::HandleFullProof(PendingSignagePoint& record, FullProofJob& job) {
  PlotFile& plot = job.Plot();
  uint32_t proof[64];
  try {
    job.Wait();
  } catch (...) {
    const std::string message = JobError("Failed to read proof from", plot);
    if (!message.empty()) log_(message);
    return;
  }
  std::copy(job.Proof(), job.Proof() + 64, proof);
  // Recomputation alone is what the compression level costs this machine; reads wait on disks
  // that the benchmark does not judge.
  const auto preparation = static_cast<int64_t>(job.RecomputeNanoseconds());
  const std::string slow = SlowProofWarning(plot.path.stem().string(), preparation);
  if (!slow.empty()) log_(slow);

  uint8_t plotId[32], challenge[32];
  uint64_t keyBlock[64];
  std::copy(plot.header.plotId, plot.header.plotId + 32, plotId);
  {
    std::lock_guard lock(plot.keyMutex);
    std::memcpy(keyBlock, plot.header.keyBlock, sizeof(keyBlock));
  }
  std::copy(job.Challenge(), job.Challenge() + 32, challenge);
  const uint64_t xPair = ProofQualityXPair(proof, challenge);
  SignagePointRequest& request = *record.Request;
  bool accepted = true;
  try {
    if (job.SkipXPairCheck() || xPair != job.ExpectedXPair()) {
      if (!job.SkipXPairCheck()) {
        log_("ERROR: " + std::string(FileErrorTexts[1]) + " \"" + plot.path.string() +
            "\": D5426D05");
      }
      accepted = request.CheckQuality(plotId, challenge, xPair) != 0;
    }
  } catch (...) {
    log_(CodeError("739A72F6"));
    accepted = false;
  }
  if (accepted) {
    try {
      request.OnProof(plotId, keyBlock, challenge, plot.header.level, proof);
    } catch (...) {
      log_(CodeError("4581644A"));
    }
  }
  StaleProofSeen = false;
}

void Client::ReserveJobs(PendingSignagePoint& record, size_t count) {
  std::lock_guard lock(MinedPlotsMutex);
  if (jobListFault_) jobListFault_();
  const size_t needed = record.Jobs.size() + count;
  if (needed > record.Jobs.capacity()) {
    record.Jobs.reserve(std::max(needed, 2 * record.Jobs.capacity()));
  }
}

void Client::TakeJobBack(PendingSignagePoint& record, const PlotJob* job) {
  std::shared_ptr<PlotJob> taken;  // released without the lock: its end reports to the engine
  try {
    std::lock_guard lock(MinedPlotsMutex);
    auto found = std::ranges::find_if(record.Jobs, [job](const auto& j) { return j.get() == job; });
    if (found == record.Jobs.end()) {
      log_("ERROR: F4E56C40");
    } else {
      taken = std::move(*found);
      *found = std::move(record.Jobs.back());
      record.Jobs.pop_back();
    }
  } catch (...) {
    log_("ERROR: 5DA11481");
  }
}

void Client::ExpireAndRemove() {
  const auto now = std::chrono::steady_clock::now();
  for (const std::unique_ptr<PendingSignagePoint>& record : PendingSignagePoints) {
    if (record->Expired || record->Deadline > now) continue;
    record->Expired = true;
    bool stale = false;
    for (const std::shared_ptr<PlotJob>& job : record->Jobs) {
      const std::string stem = job->Plot().path.stem().string();
      if (job->Kind() == 2) {
        ++StaleProofs;
        stale = true;
      } else if (job->Kind() == 1) {
        log_("WARNING: Quality from \"" + stem + "\" was not processed before challenge timeout");
      } else {
        log_("WARNING: Proof search in \"" + stem + "\" did not complete before challenge timeout");
      }
      job->Cancel();
    }
    if (stale) {
      const std::string message = StaleProofWarning(StaleProofs, ProofsRequested, StaleProofSeen);
      if (!message.empty()) log_(message);
    }
  }
  for (size_t i = PendingSignagePoints.size(); i-- > 0;) {
    if (!PendingSignagePoints[i]->Jobs.empty()) continue;
    std::swap(PendingSignagePoints[i], PendingSignagePoints.back());
    PendingSignagePoints.pop_back();
  }
}
