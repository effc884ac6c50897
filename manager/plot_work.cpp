#include "manager/plot_work.h"

#include <mutex>
#include <stdexcept>

#include "plotter/plot_engine.h"

namespace {

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
  // The engine's plot thread is not part of this build yet; CanPlot keeps these uncalled.
  void StartPlot(const std::vector<std::filesystem::path>&, const std::filesystem::path&,
                 const uint8_t*, uint8_t, const uint8_t*) override {
    throw std::runtime_error("the plot engine cannot start plots in this build");
  }
  void ResumePlot(const std::vector<std::filesystem::path>&,
                  const std::filesystem::path&) override {
    throw std::runtime_error("the plot engine cannot resume plots in this build");
  }

 private:
  PlotEngineHandle engine_;
};

class EngineWorkFactory final : public PlotWorkFactory {
 public:
  bool CanPlot() const override { return false; }
  bool CanFinalize() const override { return false; }

  std::unique_ptr<PlotEngineWork> CreatePlotEngine(MemoryArena& region,
                                                   const PlotEngineSettings& settings,
                                                   LogCallback log, const PauseMask* mask,
                                                   const PauseByte* pause) override {
    return std::make_unique<EnginePlotWork>(
        ::CreatePlotEngine(region, settings, region, std::move(log), mask, pause));
  }
  std::unique_ptr<FinalizeWork> CreateFinalizeJob(MemoryArena&, uint64_t, uint64_t, LogCallback,
                                                  const PauseByte*, const PauseByte*) override {
    throw std::runtime_error("finalization is not available in this build");
  }
};

}  // namespace

std::unique_ptr<PlotWorkFactory> MakeEnginePlotWorkFactory() {
  return std::make_unique<EngineWorkFactory>();
}
