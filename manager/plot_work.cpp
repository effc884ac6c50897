#include "manager/plot_work.h"

#include <mutex>
#include <stdexcept>

#include "plotter/finalize_job.h"
#include "plotter/plot_engine.h"

namespace {

static_assert(PlotEngineWork::kSaving == kPlotSaving && FinalizeWork::kSaving == kFinalizeSaving);

class EnginePlotWork final : public PlotEngineWork {
 public:
  explicit EnginePlotWork(PlotEngineHandle engine) : engine_(std::move(engine)) {}
  ~EnginePlotWork() override { DeletePlotEngine(engine_); }

  PlotWorkStatus Status() override {
    std::lock_guard lock(engine_->mutex);
    return {engine_->state, engine_->progress, engine_->finished, engine_->failure};
  }
  void RequestSave() override {
    std::lock_guard lock(engine_->mutex);
    if (engine_->state >= kPlotAllocating && engine_->state <= kPlotPlotting) {
      engine_->state = kPlotSaving;
      engine_->progress = 0;
    }
  }
  void StartPlot(const std::vector<std::filesystem::path>& tempPaths,
                 const std::filesystem::path& partPath, const uint8_t plotId[32], uint8_t level,
                 const uint8_t* keyBlock) override {
    engine_->StartPlot(tempPaths, partPath, plotId, level, keyBlock);
  }
  void ResumePlot(const std::vector<std::filesystem::path>& tempPaths,
                  const std::filesystem::path& partPath) override {
    engine_->StartPlotWithPaths(tempPaths, partPath);
  }

 private:
  PlotEngineHandle engine_;
};

class JobFinalizeWork final : public FinalizeWork {
 public:
  explicit JobFinalizeWork(FinalizeJobHandle job) : job_(std::move(job)) {}
  ~JobFinalizeWork() override { DeleteFinalizeJob(job_); }

  PlotWorkStatus Status() override {
    const FinalizeJob::Status status = job_->ReadStatus();
    return {status.state, status.progress, status.finished, status.failure};
  }
  void RequestSave() override { job_->RequestSave(); }
  void Start(const std::filesystem::path& sourcePath, const std::filesystem::path& partPath,
             bool resume) override {
    job_->Start(sourcePath, partPath, resume ? 1 : 0);
  }

 private:
  FinalizeJobHandle job_;
};

class EngineWorkFactory final : public PlotWorkFactory {
 public:
  explicit EngineWorkFactory(PlotWorkHooks hooks) : hooks_(std::move(hooks)) {}
  bool CanPlot() const override { return true; }
  bool CanFinalize() const override { return true; }

  std::unique_ptr<PlotEngineWork> CreatePlotEngine(MemoryArena& region,
                                                   const PlotEngineSettings& settings,
                                                   LogCallback log, const PauseMask* mask,
                                                   const PauseByte* pause) override {
    PlotEngineHandle engine =
        ::CreatePlotEngine(region, settings, region, std::move(log), mask, pause);
    engine->stopHook = hooks_.plotStop;
    return std::make_unique<EnginePlotWork>(std::move(engine));
  }
  std::unique_ptr<FinalizeWork> CreateFinalizeJob(MemoryArena& region,
                                                  const FinalizeJobConfig& config, LogCallback log,
                                                  const PauseByte* sourcePause,
                                                  const PauseByte* destinationPause) override {
    FinalizeJobHandle job =
        NewFinalizeJob(config, region, std::move(log), sourcePause, destinationPause);
    if (hooks_.finalizeStop) job->SetStopHook(hooks_.finalizeStop);
    return std::make_unique<JobFinalizeWork>(std::move(job));
  }

 private:
  PlotWorkHooks hooks_;
};

}  // namespace

std::unique_ptr<PlotWorkFactory> MakeEnginePlotWorkFactory(PlotWorkHooks hooks) {
  return std::make_unique<EngineWorkFactory>(std::move(hooks));
}
