#include <fstream>
#include <stdexcept>
#include <system_error>

#include "manager/client.h"
#include "manager/text_helpers.h"
#include "plotter/file_names.h"
#include "plotter/file_start_record.h"
#include "plotter/finalize_job.h"
#include "plotter/plot_header.h"
#include "runtime/text_utils.h"

namespace {

bool MineableKeyStatus(uint32_t status) { return status == 0 || status == 1 || status == 4; }

bool PathExists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() !=
         std::filesystem::file_type::not_found;
}

// A final plot killed between the creation of its file and the write of its header leaves a file
// shorter than a header with at most the start of one: nothing there can be resumed, and its name
// is the plot's own, so it is made again rather than blocking the plot for good.
bool IsHeaderlessPart(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error))) return false;
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error || size >= sizeof(PlotHeader)) return false;
  if (size == 0) return true;
  uint64_t magic = 0;
  std::ifstream file(path, std::ios::binary);
  return file.read(reinterpret_cast<char*>(&magic), sizeof magic) && magic == kPlotMagic;
}

}  // namespace

StartResult Client::StartPlotting(const PlotTask& task) {
  const bool resume = task.resume != 0;
  const int64_t target = static_cast<int64_t>(task.target);
  std::vector<std::filesystem::path> tempPaths;
  for (int64_t slot : task.tempSlots) {
    if (slot >= 0) {
      tempPaths.push_back(scannedPaths_.at(slot));
      continue;
    }
    tempPaths.push_back(directories_.at(~slot).path / TempFileName);
    if (MinedPlotPaths.count(tempPaths.back()) != 0) {
      log_("ERROR: Failed to start plotting: temp file with name \"" + tempPaths.back().string() +
          "\" already exists and is being used as a plot");
      return StartResult::kFailed;
    }
  }

  PlotIdBytes id{};
  uint8_t keysPresent = 0;
  std::array<uint8_t, 512> keyBlock{};
  if (resume) {
    if (target < 0) throw std::runtime_error("18304C35");
    const ScannedFile& file = scannedFiles_.at(target);
    JobPartPath = scannedPaths_.at(target);
    JobMineable = file.HasKeyBlock && MineableKeyStatus(file.KeyStatus);
    JobDirectoryIndex = file.DirectoryIndex;
  } else {
    if (target >= 0) throw std::runtime_error("C841C5BD");
    TakenPlotIds.clear();
    for (const ScannedFile& file : scannedFiles_) {
      if (file.IsCompletePlot() && file.Version <= 1) TakenPlotIds.insert(file.PlotId);
    }
    uint32_t classification = 0;
    do {
      keyBlock.fill(0);
      if (!KeyProvider->NewPlotKeys(id.data(), &keysPresent, keyBlock.data(), &classification)) {
        log_("WARNING: Failed to start plotting: no available plot id");
        return StartResult::kFailed;
      }
    } while (TakenPlotIds.count(id) != 0);
    JobPartPath =
        directories_.at(~target).path / (ToHexUpper(id.data(), id.size()) + SparsePlotPartExtension);
    JobPlotPath = std::filesystem::path(JobPartPath).replace_extension(SparsePlotExtension);
    if (MinedPlotPaths.count(JobPlotPath) != 0) {
      log_("ERROR: Failed to start plotting: output file with name \"" + JobPlotPath.string() +
          "\" already exists and is being used as a plot");
      return StartResult::kFailed;
    }
    JobMineable = keysPresent && MineableKeyStatus(classification);
    JobDirectoryIndex = ~target;
  }
  JobPlotPath = std::filesystem::path(JobPartPath).replace_extension(SparsePlotExtension);

  PublishActivity();
  if (!resume && PathExists(JobPartPath)) {
    log_("ERROR: Failed to start plotting: output file already exists: \"" + JobPartPath.string() +
        "\"");
    return StartResult::kFailed;
  }
  bool allocating = false;
  try {
    if (!workFactory_->CanPlot()) throw std::runtime_error("this build cannot make plots");
    if (plotEngineJob_ == nullptr) {
      allocating = true;
      AllocatePlottingMemory();
      allocating = false;
      if (CancelRequest) return StartResult::kFailed;
      PlotJobSettings.memoryBudget = PlottingArena->RegionSize();
      plotEngineJob_ = workFactory_->CreatePlotEngine(*PlottingArena, PlotJobSettings, log_,
                                                    &IoPauseMask, &IoPause[1]);
    }
    if (resume) {
      plotEngineJob_->ResumePlot(tempPaths, JobPartPath);
    } else {
      const uint8_t* block = keysPresent ? keyBlock.data() : nullptr;
      plotEngineJob_->StartPlot(tempPaths, JobPartPath, id.data(),
                               static_cast<uint8_t>(config_.compressionLevelMinusOne), block);
    }
  } catch (...) {
    log_(FailureText(resume ? "ERROR: Failed to continue plotting"
                           : "ERROR: Failed to start plotting"));
    plotEngineJob_.reset();
    return allocating ? StartResult::kMemoryShortfall : StartResult::kFailed;
  }
  log_((resume ? "Continue plotting \"" : "Start plotting \"") + PathStem(JobPlotPath) + "\"");
  phase_.lastState = ~0u;
  ManagerState.store(1);
  return StartResult::kStarted;
}

StartResult Client::StartFinalization(const FinalizeTask& task) {
  const bool resume = task.resume != 0;
  const uint64_t source = task.source;
  const int64_t target = static_cast<int64_t>(task.target);
  const ScannedFile& from = scannedFiles_.at(source);
  JobSourcePath = scannedPaths_.at(source);
  JobSourceDirectoryIndex = from.DirectoryIndex;
  JobMineable = from.KnownAtStartup && from.HasKeyBlock && MineableKeyStatus(from.KeyStatus);
  if (target >= 0) {
    JobPartPath = scannedPaths_.at(target);
    JobDirectoryIndex = scannedFiles_.at(target).DirectoryIndex;
  } else {
    JobDirectoryIndex = ~target;
    // Kept next to its sparse plot when finalized in the same directory.
    const std::filesystem::path directory = JobDirectoryIndex != from.DirectoryIndex
                                                ? directories_.at(JobDirectoryIndex).path
                                                : JobSourcePath.parent_path();
    JobPartPath =
        directory / (ToHexUpper(from.PlotId.data(), from.PlotId.size()) + FinalPlotPartExtension);
  }
  JobPlotPath = std::filesystem::path(JobPartPath).replace_extension(FinalPlotExtension);
  if (target < 0) {
    if (MinedPlotPaths.count(JobPlotPath) != 0) {
      log_("ERROR: Failed to start finalization: output file with name \"" + JobPlotPath.string() +
          "\" already exists and is being used as a plot");
      return StartResult::kFailed;
    }
    if (PathExists(JobPartPath) && !IsHeaderlessPart(JobPartPath)) {
      log_("ERROR: Failed to start finalization: output file already exists: \"" +
          JobPartPath.string() + "\"");
      return StartResult::kFailed;
    }
  }

  PublishActivity();
  bool allocating = false;
  try {
    if (!workFactory_->CanFinalize()) throw std::runtime_error("this build cannot finalize plots");
    if (FinalizeJob == nullptr) {
      allocating = true;
      AllocatePlottingMemory();
      allocating = false;
      if (CancelRequest) return StartResult::kFailed;
      finalizeMemory_ = PlottingArena->RegionSize();
      FinalizeJob = workFactory_->CreateFinalizeJob(
          *PlottingArena, FinalizeJobConfig{finalizeMemory_, finalizeThreads_, config_.scale}, log_,
          &IoPause[0], &IoPause[1]);
    }
    FinalizeJob->Start(JobSourcePath, JobPartPath, resume);
  } catch (...) {
    log_(FailureText(resume ? "ERROR: Failed to continue finalization"
                           : "ERROR: Failed to start finalization"));
    FinalizeJob.reset();
    return allocating ? StartResult::kMemoryShortfall : StartResult::kFailed;
  }
  log_((resume ? "Continue finalization \"" : "Start finalization \"") + PathStem(JobPlotPath) +
      "\"");
  phase_.lastState = ~0u;
  ManagerState.store(2);
  return StartResult::kStarted;
}

void Client::AllocatePlottingMemory() {
  if (PlottingArena->RegionBase() != nullptr) return;
  log_("Allocating memory...");
  PlottingArena->Reserve(PlottingMemoryRequest, &CancelRequest, config_.memoryAmount != 0, true);
  if (CancelRequest) {
    PlottingArena->Release();
    return;
  }
  const uint64_t size = PlottingArena->RegionSize();
  if (MinPlottingMemory > size) {
    throw std::runtime_error("Failed to allocate enough memory, at least " +
                             FormatGiB(MiningMemory + MinPlottingMemory) +
                             "GiB required, but only " + FormatGiB(size + MiningMemory) +
                             "GiB allocated");
  }
  if (config_.memoryAmount != 0 &&
      0.99 * static_cast<double>(PlottingMemoryRequest) > static_cast<double>(size)) {
    log_("WARNING: " + FormatGiB(config_.memoryAmount) + "GiB of memory requested, but only " +
        FormatGiB(size + MiningMemory) + "GiB allocated, performance will be degraded");
    return;
  }
  log_(FormatGiB(size) + "GiB of memory allocated");
}

void Client::FreePlottingMemory() {
  if (PlottingArena->RegionBase() == nullptr) return;
  log_("Deallocating memory...");
  PlottingArena->Release();
  log_("Memory deallocated");
}

void Client::ReleasePlotEngine() { SaveAndRelease(std::move(plotEngineJob_)); }

void Client::ReleaseFinalizeJob() { SaveAndRelease(std::move(FinalizeJob)); }

namespace {

// The planner's way into the Client's plotting and finalization.
class ClientWorkStarter final : public PlotWorkStarter {
 public:
  explicit ClientWorkStarter(Client& client) : client_(client) {}
  StartResult StartPlotting(const PlotTask& task) override { return client_.StartPlotting(task); }
  StartResult StartFinalization(const FinalizeTask& task) override {
    return client_.StartFinalization(task);
  }
  void ReleasePlotEngine() override { client_.ReleasePlotEngine(); }
  void ReleaseFinalizeJob() override { client_.ReleaseFinalizeJob(); }
  void FreePlottingMemory() override { client_.FreePlottingMemory(); }

 private:
  Client& client_;
};

}  // namespace

std::unique_ptr<PlotWorkStarter> MakeClientWorkStarter(Client& client) {
  return std::make_unique<ClientWorkStarter>(client);
}
