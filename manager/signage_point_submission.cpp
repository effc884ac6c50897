#include <exception>
#include <stdexcept>

#include "manager/client.h"
#include "prover/challenge_scan_job.h"

namespace {

std::string ErrorText(const char* code, const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return std::string("ERROR: ") + code + ": " + error.what();
  } catch (...) {
    return std::string("ERROR: ") + code;
  }
}

}  // namespace

void Client::SubmitSignagePoint(std::shared_ptr<SignagePointRequest> request,
                                uint64_t timeLimitMs) {
  if (config_.miningOff) throw std::runtime_error("6ED5B81C");
  std::unique_ptr<PendingSignagePoint> record;
  std::unique_lock<std::mutex> lock;
  try {
    record = std::make_unique<PendingSignagePoint>();
    lock = std::unique_lock(MinedPlotsMutex);
    // Room for the record and every job first: once a scan is queued, nothing below may fail
    // before it is listed.
    PendingSignagePoints.reserve(PendingSignagePoints.size() + 1);
    record->Jobs.reserve(MinedPlots.size());
    record->Sequence = NextSequence++;
    record->Request = std::move(request);
    record->Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeLimitMs);
    const int64_t priority = ScanPriority(record->Sequence);
    for (const std::shared_ptr<PlotFile>& plot : MinedPlots) {
      uint8_t plotId[32], challenge[32];
      std::copy(plot->header.plotId, plot->header.plotId + 32, plotId);
      bool searched = false;
      try {
        searched = record->Request->PlotChallenge(plotId, challenge);
      } catch (...) {
        log_(ErrorText("479CA6F9", std::current_exception()));
        continue;
      }
      if (!searched) continue;
      record->Jobs.push_back(Engine->QueueChallengeScan(plot.get(), challenge, priority,
                                                        &JobCompletionQueue, record.get()));
    }
    PendingSignagePoints.push_back(std::move(record));
  } catch (...) {
    const std::exception_ptr failure = std::current_exception();
    if (record != nullptr && !record->Jobs.empty() && lock.owns_lock()) {
      // Its scans come back through the queue naming this record: it stays listed, expired,
      // until the mining thread has taken them back.
      record->Expired = true;
      for (const std::shared_ptr<PlotJob>& job : record->Jobs) job->Cancel();
      PendingSignagePoints.push_back(std::move(record));
    }
    if (lock.owns_lock()) lock.unlock();
    record.reset();
    log_(ErrorText("BCF941D5", failure));
  }
}
