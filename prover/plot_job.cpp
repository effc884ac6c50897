#include "prover/plot_job.h"

#include <mutex>

#include "plotter/plot_file.h"
#include "prover/operation_cancelled.h"
#include "prover/plot_access_engine.h"

PlotJob::PlotJob(PlotAccessEngine& engine, std::shared_ptr<PlotFile> plot, int64_t priority,
                 CompletionQueue* queue, void* owner)
    : CompletionEvent(queue),
      engine_(engine),
      plot_(std::move(plot)),
      priority_(priority),
      owner_(owner) {
  if (engine_.JobEvents()) engine_.JobEvents()(plot_->deviceIndex, true);
  std::lock_guard<std::mutex> lock(plot_->mutex);
  ++plot_->liveJobCount;
}

PlotJob::~PlotJob() {
  if (engine_.JobEvents()) engine_.JobEvents()(plot_->deviceIndex, false);
  std::lock_guard<std::mutex> lock(plot_->mutex);
  if (--plot_->liveJobCount == 0 && plot_->stream.is_open()) {
    try {
      plot_->stream.close();
    } catch (const std::ios_base::failure&) {
      // The stream is marked failed; the next read opens it afresh.
    }
  }
}

void PlotJob::Wait() {
  WaitSignalled();
  std::exception_ptr failure;
  {
    std::lock_guard<std::mutex> lock(engine_.Mutex());
    failure = failure_;
  }
  if (failure) std::rethrow_exception(failure);
}

void PlotJob::Cancel() {
  std::lock_guard<std::mutex> lock(engine_.Mutex());
  if (!failure_) failure_ = std::make_exception_ptr(OperationCancelled());
  Signal();
}

void PlotJob::Finish(std::exception_ptr failure) {
  if (Done()) return;
  if (failure) failure_ = failure;
  Signal();
}

void DeletePlotJob(PlotJob* job) { delete job; }
