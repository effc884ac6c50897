#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "runtime/completion_queue.h"

class PlotAccessEngine;
class PlotFile;

// The three kinds of step the engine's workers run: disk reads, recomputation, proof-tree work.
enum WorkStage : uint32_t {
  kStageRead = 0,
  kStageCompute = 1,
  kStageTree = 2,
};

// One unit of proof-search work on one plot. The engine's workers advance it stage by stage;
// once it has its result or a failure it completes (joins its owner queue, or wakes a waiter
// when it has none). Every flag of a job is guarded by the engine mutex.
class PlotJob : public CompletionEvent {
 public:
  // Reports the job to the engine's job-event callback and counts it among the plot's live jobs.
  PlotJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
          CompletionQueue* queue, void* owner);
  // Reports the end of the job; the plot's last job closes its shared stream.
  ~PlotJob() override;

  // Whether the job has work of the stage now; called under the engine mutex.
  virtual bool IsReady(uint32_t stage) const = 0;
  // One step of the stage, called without the engine mutex; `argument` is the read worker's
  // index for stage 0, else 0.
  virtual void Step(uint32_t stage, uint64_t argument) = 0;
  // 0 challenge scan, 1 quality, 2 full proof.
  virtual uint32_t Kind() const = 0;

  // Waits until the job completed and rethrows its failure (OperationCancelled when cancelled).
  // Never with the engine mutex held.
  void Wait();
  // Stores OperationCancelled unless a failure is stored, and completes the job.
  void Cancel();

  bool Done() const { return IsSignalled(); }
  int64_t Priority() const { return priority_; }
  PlotFile& Plot() const { return *plot_; }
  void* OwnerPointer() const { return owner_; }

 protected:
  // With the engine mutex held: stores the failure, if any, and completes the job, unless it
  // completed already (then the step's outcome is dropped).
  void Finish(std::exception_ptr failure);

  PlotAccessEngine& engine_;

 private:
  std::shared_ptr<PlotFile> plot_;
  int64_t priority_;
  std::exception_ptr failure_;
  void* owner_;
};

// The deleter of every shared pointer to a job.
void DeletePlotJob(PlotJob* job);
