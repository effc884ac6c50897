#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "plotter/engine_memory.h"
#include "runtime/io_worker.h"
#include "runtime/memory_arena.h"
#include "runtime/multi_file_stream.h"

struct FinalizeJobConfig;
struct FinalizeResumeRecord;
struct TempFileHeader;

// What the manager reads of a plot engine or a finalization job, copied under the object's own
// mutex. State 0 is ended for both; the others are the object's own states.
struct PlotWorkStatus {
  uint32_t state = 0;
  double progress = 0;
  uint8_t finished = 0;  // the work completed rather than stopped at a save
  std::exception_ptr failure;
};

// A plot engine or finalization job as the manager drives it. Destroying it waits for its
// threads, so it is asked to save first when it may still be running.
class PlotWork {
 public:
  virtual ~PlotWork() = default;
  virtual PlotWorkStatus Status() = 0;
  // Under the object's mutex: a working state becomes the saving state with progress 0.
  virtual void RequestSave() = 0;
};

class PlotEngineWork : public PlotWork {
 public:
  static constexpr uint32_t kSaving = 4;  // 1 allocating, 2 loading, 3 plotting

  // keyBlock: the 512-byte key block, or null for none.
  virtual void StartPlot(const std::vector<std::filesystem::path>& tempPaths,
                         const std::filesystem::path& partPath, const uint8_t plotId[32],
                         uint8_t level, const uint8_t* keyBlock) = 0;
  virtual void ResumePlot(const std::vector<std::filesystem::path>& tempPaths,
                          const std::filesystem::path& partPath) = 0;
};

class FinalizeWork : public PlotWork {
 public:
  static constexpr uint32_t kSaving = 3;  // 1 loading, 2 finalizing

  virtual void Start(const std::filesystem::path& sourcePath, const std::filesystem::path& partPath,
                     bool resume) = 0;
};

// Makes the plot engine and the finalization job in the plotting memory.
class PlotWorkFactory {
 public:
  using LogCallback = std::function<void(const std::string&)>;

  virtual ~PlotWorkFactory() = default;
  // Whether this build can make plots and final plots; the manager starts neither otherwise.
  virtual bool CanPlot() const = 0;
  virtual bool CanFinalize() const = 0;
  virtual std::unique_ptr<PlotEngineWork> CreatePlotEngine(MemoryArena& region,
                                                           const PlotEngineSettings& settings,
                                                           LogCallback log, const PauseMask* mask,
                                                           const PauseByte* pause) = 0;
  // The job's I/O obeys the two pause bytes (source, destination).
  virtual std::unique_ptr<FinalizeWork> CreateFinalizeJob(MemoryArena& region,
                                                          const FinalizeJobConfig& config,
                                                          LogCallback log,
                                                          const PauseByte* sourcePause,
                                                          const PauseByte* destinationPause) = 0;
};

// Test hooks given to every engine and job the factory makes, to stop one at a chosen point.
struct PlotWorkHooks {
  // Where a plot looks for a stop request, under the engine mutex, with the engine state and
  // position; true saves the plot there.
  std::function<bool(uint32_t state, const TempFileHeader& position)> plotStop;
  // At each stop check of a finalization, on its run thread.
  std::function<void(const FinalizeResumeRecord&)> finalizeStop;
};

// The plotter's engine and job behind the factory.
std::unique_ptr<PlotWorkFactory> MakeEnginePlotWorkFactory(PlotWorkHooks hooks = {});
