#pragma once

#include "manager/manager_task.h"

enum class StartResult {
  kStarted,
  kFailed,          // reported by the starter; nothing runs
  kMemoryShortfall  // failed for want of plotting memory
};

// What the planner needs of the plot engine and the finalization job: start one, and give them
// and their memory back. Only one of the two exists at a time.
class PlotWorkStarter {
 public:
  virtual ~PlotWorkStarter() = default;

  virtual StartResult StartPlotting(const PlotTask& task) = 0;
  virtual StartResult StartFinalization(const FinalizeTask& task) = 0;
  // Each is a no-op when there is nothing to release.
  virtual void ReleasePlotEngine() = 0;
  virtual void ReleaseFinalizeJob() = 0;
  virtual void FreePlottingMemory() = 0;
};
