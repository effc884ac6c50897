#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "manager/client.h"
#include "manager/text_helpers.h"
#include "plotter/file_names.h"
#include "plotter/plot_size_tables.h"

namespace {

bool IsPlot(const ScannedFile& f) {
  return f.Kind == kPlotFileKind && f.HeaderValid && f.MarkerMatches;
}

bool IsCompleteSparse(const ScannedFile& f) {
  return IsPlot(f) && f.Version == 1 && f.Initialized && f.Complete && f.Sparse;
}

uint64_t CompletePlots(const PlanningView& view, uint64_t d) {
  return std::ranges::count_if(view.files, [d](const ScannedFile& f) {
    return f.DirectoryIndex == d && f.Kind == kPlotFileKind && f.HeaderValid && f.Initialized &&
           f.Complete;
  });
}

bool TakesMorePlots(const PlanningView& view, uint64_t d) {
  return view.directories[d].PlotCountLimit > CompletePlots(view, d);
}

}  // namespace

PlanningOptions Client::MakePlanningOptions() const {
  const bool engine = workStarter_ != nullptr;
  return {1, static_cast<uint8_t>(config_.compressionLevelMinusOne),
          static_cast<uint8_t>(config_.noPlotting || !engine || !workFactory_->CanPlot()),
          static_cast<uint8_t>(config_.noFinalizing || !engine || !workFactory_->CanFinalize()),
          config_.scale};
}

void Client::SetPlannerIdle(bool idle) {
  std::lock_guard lock(Mutex);
  PlannerIdle = idle;
}

void Client::ReleasePlottingWork() {
  if (workStarter_ == nullptr) return;
  workStarter_->ReleasePlotEngine();
  workStarter_->ReleaseFinalizeJob();
  workStarter_->FreePlottingMemory();
}

void Client::RunPendingDeletes() {
  for (size_t i = 0; i < pendingDeletes_.size();) {
    if (!pendingDeletes_[i].plot.expired()) {
      ++i;
      continue;
    }
    DeletePlotFile(pendingDeletes_[i].path, true);
    pendingDeletes_[i] = std::move(pendingDeletes_.back());
    pendingDeletes_.pop_back();
  }
}

void Client::PlanNextStep() {
  bool workFinished, stop;
  {
    std::lock_guard lock(Mutex);
    workFinished = WorkFinished;
  }
  if (!workFinished || !config_.noRescan) {
    try {
      ScanDirectories();
    } catch (const std::exception& error) {
      log_(std::string("ERROR: 729A3DD8: ") + error.what());
      return;
    } catch (...) {
      log_("ERROR: 729A3DD8");
      return;
    }
  }
  if (!config_.miningOff) RunPendingDeletes();
  {
    std::lock_guard lock(Mutex);
    stop = CancelRequest || StopRequest;
  }
  if (stop) {
    ReleasePlottingWork();
    std::lock_guard lock(Mutex);
    if (pendingDeletes_.empty()) Finished = 1;
    return;
  }
  if (workFinished) return;
  if (std::ranges::any_of(directoryStates_, [](const DirectoryState& d) {
        return d.FreeBytes == kUnknownFreeBytes;
      })) {
    SetPlannerIdle(true);
    return;
  }

  const PlanningView view{directoryStates_, scannedFiles_, MakePlanningOptions()};
  if (std::unique_ptr<DeleteFileTask> deletion = SelectFileToDelete(view)) {
    SetPlannerIdle(!Dispatch(std::move(deletion)));
    return;
  }
  // After a failed start the disks and memory get a rest before the next attempt.
  if (startBackOff_.Pausing(Now())) {
    SetPlannerIdle(true);
    return;
  }
  std::unique_ptr<ManagerTask> task = ChooseTask(view);
  if (task == nullptr) {
    // Work resting after a failure is still to be done.
    if (std::ranges::any_of(runBackOffs_,
                            [this](const auto& entry) { return entry.second.Pausing(Now()); })) {
      SetPlannerIdle(true);
      return;
    }
    NothingToDo();
    return;
  }
  SetPlannerIdle(!Dispatch(std::move(task)));
}

std::unique_ptr<ManagerTask> Client::ChooseTask(const PlanningView& view) {
  const PlanningOptions& options = view.options;
  if (!options.noPlotting) {
    if (auto task = ContinuePlotTask(view)) return task;
  }
  if (!options.noFinalizing) {
    if (auto task = ContinueFinalizeTask(view)) return task;
  }
  if (!options.noPlotting) {
    if (auto task = NewPlotTask(view)) return task;
  }
  if (!options.noFinalizing) {
    if (auto task = NewFinalizeTask(view)) return task;
  }
  if (!options.noPlotting) {
    if (auto report = MakeMorePlotsReport(view)) return report;
  }
  if (!options.noFinalizing) return MakeFinalizeSpaceReport(view);
  return nullptr;
}

std::unique_ptr<PlotTask> Client::ContinuePlotTask(const PlanningView& view) {
  std::vector<int64_t> slots;
  for (size_t i = 0; i < view.files.size(); ++i) {
    const ScannedFile& f = view.files[i];
    if (!IsPlot(f) || f.Version != 1 || !f.Initialized || f.Complete || !f.Sparse) continue;
    if (RunPausing(f.DirectoryIndex)) continue;
    if (!FindTempFilesOfPlot(view, i, slots) || !CanResumeWithTempFiles(view, slots, i)) continue;
    const uint64_t size = PlannedSparseBytes(f.Level, view.options.scale);
    const uint64_t need = f.FileSize < size ? size - f.FileSize : 0;
    if (view.directories[f.DirectoryIndex].FreeBytes < need) return nullptr;
    auto task = std::make_unique<PlotTask>();
    task->resume = 1;
    task->tempSlots = slots;
    task->target = i;
    return task;
  }
  return nullptr;
}

std::unique_ptr<FinalizeTask> Client::ContinueFinalizeTask(const PlanningView& view) {
  for (size_t i = 0; i < view.files.size(); ++i) {
    const ScannedFile& f = view.files[i];
    if (!IsPlot(f) || f.Version != 1 || !f.Initialized || f.Complete || f.Sparse) continue;
    const int64_t source = FindPlotWithSameId(view, f);
    const DirectoryState& own = view.directories[f.DirectoryIndex];
    if (source < 0 || view.directories[view.files[source].DirectoryIndex].readOnly ||
        !own.finalAllowed || own.readOnly) {
      continue;
    }
    if (RunPausing(f.DirectoryIndex) || failedStartPaths_.count(scannedPaths_[source])) continue;
    const uint64_t need = PlannedFinalBytes(f.Level, view.options.scale);
    if (f.FileSize < need && own.FreeBytes < need - f.FileSize) return nullptr;
    auto task = std::make_unique<FinalizeTask>();
    task->resume = 1;
    task->source = source;
    task->target = i;
    return task;
  }
  return nullptr;
}

std::unique_ptr<PlotTask> Client::NewPlotTask(const PlanningView& view) {
  SpacePool pool(view.directories);
  std::vector<int64_t> slots;
  if (AssignTempFiles(view, pool, slots) == 0) return nullptr;
  const uint64_t sparse = PlannedSparseBytes(view.options.Level, view.options.scale);
  int64_t chosen = -1;
  uint64_t best = 0;
  for (size_t d = 0; d < view.directories.size(); ++d) {
    const DirectoryState& dir = view.directories[d];
    if (!dir.sparseAllowed || dir.readOnly || !TakesMorePlots(view, d) || RunPausing(d)) continue;
    // What is left here once every temp file of the plot has its room, on whatever disk.
    const uint64_t available = pool.Available(d);
    const bool finalizes = dir.finalAllowed && std::ranges::any_of(view.files, [d](auto& f) {
                             return f.DirectoryIndex == d && f.Kind == kPlotFileKind &&
                                    f.HeaderValid && f.Initialized && f.Complete && f.Sparse;
                           });
    // Room kept for finalizing a sparse plot: the largest final plot and the margin.
    const uint64_t required =
        sparse + (finalizes ? PlannedFinalBytes(0, view.options.scale) : 0);
    if (available >= required && (chosen < 0 || available > best)) {
      chosen = static_cast<int64_t>(d);
      best = available;
    }
  }
  if (chosen < 0) return nullptr;
  auto task = std::make_unique<PlotTask>();
  task->tempSlots = slots;
  task->target = ~static_cast<uint64_t>(chosen);
  return task;
}

std::unique_ptr<FinalizeTask> Client::NewFinalizeTask(const PlanningView& view) {
  std::unordered_set<PlotIdBytes, PlotIdHash> finalized;
  for (const ScannedFile& f : view.files) {
    if (IsPlot(f) && f.Version == 1 && f.Initialized && f.Complete && !f.Sparse) {
      finalized.insert(f.PlotId);
    }
  }
  const std::vector<DirectoryState>& dirs = view.directories;
  for (size_t i = 0; i < view.files.size(); ++i) {
    const ScannedFile& f = view.files[i];
    if (!IsCompleteSparse(f) || dirs[f.DirectoryIndex].readOnly) continue;
    if ((f.KeyStatus != 0 && f.KeyStatus != 1 && f.KeyStatus != 3) || !f.KnownAtStartup) continue;
    if (finalized.count(f.PlotId) != 0 || failedStartPaths_.count(scannedPaths_[i]) != 0) continue;
    const uint64_t need = PlannedFinalBytes(f.Level, view.options.scale);
    int64_t target = -1;
    const DirectoryState& own = dirs[f.DirectoryIndex];
    if (own.finalAllowed && !own.readOnly && own.FreeBytes >= need &&
        !RunPausing(f.DirectoryIndex)) {
      target = static_cast<int64_t>(f.DirectoryIndex);
    }
    for (size_t d = 0; d < dirs.size() && target < 0; ++d) {
      if (d != f.DirectoryIndex && dirs[d].finalAllowed && !dirs[d].sparseAllowed &&
          dirs[d].FreeBytes >= need && TakesMorePlots(view, d) && !RunPausing(d)) {
        target = static_cast<int64_t>(d);
      }
    }
    if (target < 0) continue;
    auto task = std::make_unique<FinalizeTask>();
    task->source = i;
    task->target = ~static_cast<uint64_t>(target);
    return task;
  }
  return nullptr;
}

std::unique_ptr<FinalizeSpaceReport> Client::MakeFinalizeSpaceReport(const PlanningView& view) {
  auto report = std::make_unique<FinalizeSpaceReport>();
  for (size_t d = 0; d < view.directories.size(); ++d) {
    const DirectoryState& dir = view.directories[d];
    if (!dir.finalAllowed || !dir.sparseAllowed || dir.readOnly) continue;
    const auto sparse = std::ranges::count_if(view.files, [d](const ScannedFile& f) {
      return f.DirectoryIndex == d && f.Kind == kPlotFileKind && f.HeaderValid && f.Version == 1 &&
             f.Initialized && f.Complete && f.Sparse;
    });
    const uint64_t reserve = PlannedFinalBytes(0, view.options.scale);
    if (sparse >= 2 && dir.FreeBytes < reserve) {
      report->missing.emplace_back(d, reserve - dir.FreeBytes);
    }
  }
  if (report->missing.empty()) return nullptr;
  return report;
}

void Client::NothingToDo() {
  {
    std::lock_guard lock(Mutex);
    PlannerIdle = 1;
    if (!TestQueue.empty() || ScanPending || TestRunning) return;
    WorkFinished = 1;
  }
  log_("No more plotting, finalization or testing required");
  ReleasePlottingWork();
  if (config_.miningOff) RequestStop();
}

bool Client::Dispatch(std::unique_ptr<ManagerTask> task) {
  switch (task->Kind()) {
    case kPlotTaskKind:
      return StartPlot(static_cast<const PlotTask&>(*task));
    case kFinalizeTaskKind: {
      const auto& finalize = static_cast<const FinalizeTask&>(*task);
      workStarter_->ReleasePlotEngine();
      const StartResult result = workStarter_->StartFinalization(finalize);
      // A final plot under way is retried after a rest; a sparse plot that cannot even begin
      // its finalization is left as it is.
      if (finalize.resume) {
        return AfterStart(result, 2, nullptr,
                          runBackOffs_[scannedFiles_.at(finalize.target).DirectoryIndex]);
      }
      return AfterStart(result, 2, &scannedPaths_.at(finalize.source), startBackOff_);
    }
    case kDeleteFileTaskKind:
      return DeleteUnneededFile(static_cast<const DeleteFileTask&>(*task));
    case kMorePlotsReportKind: {
      auto* report = static_cast<MorePlotsReport*>(task.get());
      if (lastMorePlotsReport_ != nullptr && *lastMorePlotsReport_ == *report) return false;
      for (const std::string& line : report->Lines(directories_)) log_(line);
      task.release();
      lastMorePlotsReport_.reset(report);
      return false;
    }
    case kFinalizeSpaceReportKind: {
      auto* report = static_cast<FinalizeSpaceReport*>(task.get());
      if (lastFinalizeSpaceReport_ != nullptr && *lastFinalizeSpaceReport_ == *report) return false;
      for (const std::string& line : report->Lines(directories_)) log_(line);
      task.release();
      lastFinalizeSpaceReport_.reset(report);
      return false;
    }
    default:
      throw std::runtime_error("47504983");
  }
}

bool Client::DeleteUnneededFile(const DeleteFileTask& task) {
  const ScannedFile& f = scannedFiles_.at(task.file);
  if (f.Kind == kUnrelatedFile) throw std::runtime_error("D99ACDB6");
  if (!f.HeaderValid) throw std::runtime_error("40A4697F");
  if (f.Version > 1) throw std::runtime_error("0B1C1771");
  // A complete plot stays even when it was never closed cleanly.
  if (f.Kind == kPlotFileKind && f.Complete) throw std::runtime_error("F1E6B82A");
  DeletePlotFile(scannedPaths_[task.file], false);
  return true;
}

bool Client::StartPlot(const PlotTask& task) {
  // A plot under way is retried after a rest: its temp files keep others from starting.
  StartBackOff& backOff =
      task.resume ? runBackOffs_[scannedFiles_.at(task.target).DirectoryIndex] : startBackOff_;
  for (int64_t slot : task.tempSlots) {
    if (slot >= 0) continue;
    // Whatever holds the name was not recorded by the scan: it is nobody's temp file to take.
    const std::filesystem::path path = directories_[~slot].path / TempFileName;
    std::error_code error;
    if (std::filesystem::symlink_status(path, error).type() !=
        std::filesystem::file_type::not_found) {
      log_("ERROR: Failed to start plotting: temp file already exists: \"" + path.string() + "\"");
      return AfterStart(StartResult::kFailed, 1, nullptr, backOff);
    }
  }
  workStarter_->ReleaseFinalizeJob();
  return AfterStart(workStarter_->StartPlotting(task), 1, nullptr, backOff);
}

bool Client::AfterStart(StartResult result, uint32_t state, const std::filesystem::path* skipped,
                        StartBackOff& backOff) {
  if (result == StartResult::kStarted) {
    startBackOff_.Succeeded();
    std::lock_guard lock(Mutex);
    ManagerState = state;
    return true;
  }
  // Cut short by a save request: nothing failed, and the next pass ends the run.
  if (CancelRequest) return false;
  if (result == StartResult::kMemoryShortfall) ReleasePlottingWork();
  if (skipped != nullptr && failedStartPaths_.insert(*skipped).second) {
    log_("WARNING: \"" + PathStem(*skipped) + "\" failed to start and is skipped until restart");
  }
  backOff.Failed(Now());
  return false;
}

bool Client::RunPausing(uint64_t directory) const {
  const auto found = runBackOffs_.find(directory);
  return found != runBackOffs_.end() && found->second.Pausing(Now());
}
