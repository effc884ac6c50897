#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "manager/client.h"
#include "manager/scan_file_reader.h"
#include "manager/text_helpers.h"
#include "plotter/plot_file_checks.h"

namespace {

constexpr auto kManagerWait = std::chrono::milliseconds(500);
constexpr uint64_t kUnknownSeconds = ~uint64_t{0};

// The rename's failure as a warning; the work goes on without it.
void RenameDone(const std::filesystem::path& from, const std::filesystem::path& to,
                const std::string& warning, const ClientLogCallback& log) {
  if (from == to) return;
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (error) log(warning + to.string() + "\": " + error.message());
}

// The job's status; none once its failure is logged, the job is dropped and the manager is idle.
template <typename Work>
std::optional<PlotWorkStatus> StatusOrDrop(std::unique_ptr<Work>& job, const char* missing,
                                           const char* failure, const ClientLogCallback& log,
                                           std::atomic<uint32_t>& managerState) {
  try {
    if (job == nullptr) throw std::runtime_error(missing);
    PlotWorkStatus status = job->Status();
    if (status.failure) std::rethrow_exception(status.failure);
    return status;
  } catch (...) {
    log(FailureText(failure));
    std::unique_ptr<Work> failed = std::move(job);
    failed.reset();
    managerState.store(0);
    return std::nullopt;
  }
}

}  // namespace

void Client::ManagerThread() {
  if (Engine != nullptr && config_.runBenchmark) {
    try {
      RunBenchmark();
    } catch (...) {
      log_(FailureText("ERROR: Benchmark failed"));
    }
  }
  std::unique_lock lock(Mutex);
  while (!ThreadStop) {
    ManagerWake.wait_for(lock, kManagerWait);
    if (ThreadStop) break;
    const auto now = std::chrono::steady_clock::now();
    if (now < NextRunTime) {
      // Work that ends between two ten-second checks would leave the machine idle until the
      // next one. The job's own lock is taken without the client's.
      lock.unlock();
      const bool ended = RunningWorkEnded();
      lock.lock();
      if (!ended || ThreadStop) continue;
      NextRunTime = now;
    }
    while (NextRunTime <= now) {
      const bool busy = ManagerState.load() != 0 || PlannerIdle;
      NextRunTime += std::chrono::seconds(WorkFinished ? 60 : busy ? 10 : 1);
    }
    lock.unlock();
    ManagerStep();
    lock.lock();
  }
}

bool Client::RunningWorkEnded() {
  PlotWork* work = nullptr;
  switch (ManagerState.load()) {
    case 1:
      work = plotEngineJob_.get();
      break;
    case 2:
      work = FinalizeJob.get();
      break;
    default:
      return false;
  }
  return work != nullptr && work->Status().state == 0;
}

void Client::ManagerStep() {
  // A failure here must not end the thread: then no stop could ever complete.
  try {
    switch (ManagerState.load()) {
      case 0:
        PlanNextStep();
        break;
      case 1:
        MonitorPlotting();
        break;
      case 2:
        FinalizationStep();
        break;
      default:
        throw std::runtime_error("13C18F30");
    }
  } catch (const std::exception& error) {
    log_(std::string("ERROR: ") + error.what());
  } catch (...) {
    log_("ERROR: 9EBB28D9");
  }
}

std::string Client::ProgressText(const PlotWorkStatus& status) {
  const auto now = Now();
  uint64_t elapsed = 0;
  uint64_t remaining = kUnknownSeconds;
  if (status.state != phase_.lastState) {
    phase_ = {status.state, now, status.progress};
  } else {
    const double p = std::max(phase_.startProgress, status.progress);
    elapsed = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(now - phase_.start).count());
    if (elapsed != 0 && p != phase_.startProgress) {
      remaining = static_cast<uint64_t>(
          std::llround((1 - p) * static_cast<double>(elapsed) / (p - phase_.startProgress)));
    }
  }
  long percent = std::lround(100 * status.progress);
  if (status.progress > 0.99 && status.progress < 1) percent = 99;
  char number[24];
  std::snprintf(number, sizeof(number), "%ld", percent);
  std::string text = std::string(number) + "%, " + FormatDuration(elapsed) + " elapsed";
  if (remaining != kUnknownSeconds) text += ", " + FormatDuration(remaining) + " remaining";
  return text;
}

void Client::MonitorPlotting() {
  const std::optional<PlotWorkStatus> read = StatusOrDrop(
      plotEngineJob_, "no plot in progress", "ERROR: Plotting failed", log_, ManagerState);
  // Begun again at once, a plot that keeps failing would rewrite the whole temp area each time.
  if (!read) {
    runBackOffs_[JobDirectoryIndex].Failed(Now());
    return;
  }
  const PlotWorkStatus& status = *read;
  static const char* const kLabels[] = {"", "Allocating temporary files, ", "Loading, ",
                                        "Plotting, ", "Saving, "};
  if (status.state > PlotEngineWork::kSaving) throw std::runtime_error("2972EEE5");
  if (status.state != 0) {
    log_(kLabels[status.state] + ProgressText(status));
    if (status.state != PlotEngineWork::kSaving && CancelRequest) {
      plotEngineJob_->RequestSave();
      RunSoon();
    }
    return;
  }
  ManagerState.store(0);
  if (!status.finished) {
    log_("Saved");
  } else {
    log_("Plot done \"" + PathStem(JobPlotPath) + "\"");
    runBackOffs_.erase(JobDirectoryIndex);
    RenameDone(JobPartPath, JobPlotPath, "WARNING: Failed to rename new sparse plot \"", log_);
    AddPlotToMining(true);
  }
  RunSoon();
}

void Client::FinalizationStep() {
  const std::optional<PlotWorkStatus> read = StatusOrDrop(
      FinalizeJob, "no finalization in progress", "ERROR: Finalization failed", log_, ManagerState);
  if (!read) {
    runBackOffs_[JobDirectoryIndex].Failed(Now());
    return;
  }
  const PlotWorkStatus& status = *read;
  static const char* const kLabels[] = {"", "Loading, ", "Finalizing, ", "Saving, "};
  if (status.state > FinalizeWork::kSaving) throw std::runtime_error("843C7A33");
  if (status.state == 0) {
    CompleteFinalization(status);
    return;
  }
  const std::string text = ProgressText(status);
  if (status.state != FinalizeWork::kSaving && CancelRequest) {
    FinalizeJob->RequestSave();
    RunSoon();
    return;
  }
  log_(kLabels[status.state] + text);
}

void Client::CompleteFinalization(const PlotWorkStatus& status) {
  ManagerState.store(0);
  if (!status.finished) {
    log_("Saved");
    RunSoon();
    return;
  }
  log_("Finalized \"" + PathStem(JobPlotPath) + "\"");
  runBackOffs_.erase(JobDirectoryIndex);
  RenameDone(JobPartPath, JobPlotPath, "WARNING: Failed to rename new final plot \"", log_);
  bool whole = false;
  try {
    // The completion marker too: the sparse plot goes only for a final plot known to be whole.
    std::array<uint8_t, 512> keyBlock{};
    whole = IsFinalPlotFile(JobPlotPath.string()) &&
            ReadScannedFile(JobPlotPath, JobDirectoryIndex, keyBlock).MarkerMatches;
  } catch (...) {
    log_(FailureText("WARNING: Failed to check finalized plot \"" + JobPlotPath.string() + "\""));
  }
  if (!whole) {
    log_("WARNING: Finalized plot check failed");
  } else if (AddPlotToMining(false)) {
    RetireSourcePlot();
  } else {
    log_("WARNING: Sparse plot \"" + PathStem(JobSourcePath) +
        "\" is kept: its final plot could not be added to mining");
  }
  RunSoon();
}

void Client::RetireSourcePlot() {
  if (!config_.miningOff) {
    std::unique_lock lock(MinedPlotsMutex);
    for (auto it = MinedPlots.begin(); it != MinedPlots.end(); ++it) {
      if ((*it)->path != JobSourcePath) continue;
      std::weak_ptr<PlotFile> source = *it;
      *it = std::move(MinedPlots.back());
      MinedPlots.pop_back();
      MinedPlotPaths.erase(JobSourcePath);
      // Proof jobs still read it: the planner deletes it once they are done.
      if (!source.expired()) {
        pendingDeletes_.push_back({std::move(source), JobSourcePath});
        return;
      }
      break;
    }
  }
  DeletePlotFile(JobSourcePath, true);
}
