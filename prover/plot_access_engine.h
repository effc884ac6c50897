#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "chia/prefix_recompute.h"
#include "plotter/engine_buffers.h"
#include "plotter/plot_file.h"
#include "plotter/plot_file_owner.h"
#include "plotter/plot_scale.h"
#include "prover/plot_job.h"
#include "runtime/memory_arena.h"
#include "runtime/thread_pool.h"

class ChallengeScanJob;
class FullProofJob;
class QualityJob;

struct PlotAccessEngineOptions {
  uint64_t miningThreads = 1;   // workers of each pool; 0 is refused ("BF691500")
  uint64_t directoryCount = 1;  // read workers when readThreads is 0 (one per directory)
  uint64_t readThreads = 0;     // non-zero: that many read workers, each taking any plot
  uint8_t maxLevel = 4;         // above 4 is refused ("982F182C")
  uint8_t lowPriority = 0;      // also build a nice-19 pool for low-priority recomputation
  PlotScale scale;
};

// The one place where plots are read to answer challenges: it owns the open plots, the jobs
// that read them, the workers that step those jobs by priority (R read workers, one compute
// worker, one tree worker) and the fixed storage of reading, decoding and recomputation.
class PlotAccessEngine {
 public:
  using MessageCallback = std::function<void(const std::string&)>;
  // (directory index of the job's plot, true at a job's start / false at its end)
  using JobEventCallback = std::function<void(uint64_t, bool)>;

  PlotAccessEngine(const PlotAccessEngineOptions& options, MemoryArena& arena,
                   MessageCallback messages, JobEventCallback jobEvents);
  // Stops and joins every worker (a step in progress finishes first) and drops the job list;
  // jobs are not cancelled. Every job must be released before the engine.
  ~PlotAccessEngine();
  PlotAccessEngine(const PlotAccessEngine&) = delete;
  PlotAccessEngine& operator=(const PlotAccessEngine&) = delete;

  // The engine mutex: guards the job list, the open-plot registry and every job's flags.
  std::mutex& Mutex() { return owner_.mutex; }
  std::condition_variable& Condition() { return condition_; }

  // With the engine mutex held: a new owner of a registered plot; "3284DA93" when the plot is
  // not registered or already gone.
  std::shared_ptr<PlotFile> LockPlot(const PlotFile* plot);

  // Builds a job for a registered plot under the engine mutex, lists it and wakes the workers.
  // Job's constructor takes (engine, plot owner, priority, queue, owner pointer, args...).
  template <typename Job, typename... Args>
  std::shared_ptr<Job> QueueJob(const PlotFile* plot, int64_t priority, CompletionQueue* queue,
                                void* owner, Args&&... args) {
    std::shared_ptr<Job> job;
    {
      std::lock_guard<std::mutex> lock(Mutex());
      std::shared_ptr<PlotFile> shared = LockPlot(plot);
      job = std::shared_ptr<Job>(
          new Job(*this, std::move(shared), priority, queue, owner, std::forward<Args>(args)...),
          [](Job* j) { DeletePlotJob(j); });
      jobs_.push_back(job);
    }
    condition_.notify_all();
    return job;
  }

  std::shared_ptr<ChallengeScanJob> QueueChallengeScan(const PlotFile* plot,
                                                       const uint8_t challenge[32],
                                                       int64_t priority, CompletionQueue* queue,
                                                       void* owner);
  // A full proof of the tree under table-4 position `matchPosition`, taking over the work of
  // `source` when given (it must have completed: "E736427E").
  std::shared_ptr<FullProofJob> QueueFullProof(const PlotFile* plot, uint64_t matchPosition,
                                               const uint8_t challenge[32], int64_t priority,
                                               CompletionQueue* queue, void* owner,
                                               const QualityJob* source, uint8_t lowPriority);

  PlotFileOwner& Owner() { return owner_; }
  RecomputeContext& Recompute() { return recompute_; }
  const JobEventCallback& JobEvents() const { return jobEvents_; }
  const PlotAccessEngineOptions& Options() const { return options_; }
  uint64_t ReadWorkerCount() const { return readWorkerCount_; }

 private:
  void AllocateStorage();
  void StartWorkers();
  void StopWorkers();
  // With the engine mutex held.
  void ReapFinishedJobs();
  std::shared_ptr<PlotJob> PickReadyJob(uint32_t stage, uint64_t readWorker);
  void WorkerLoop(uint32_t stage, uint64_t index);

  PlotFileOwner owner_;  // messages, registry, read slots; its mutex is the engine mutex
  PlotAccessEngineOptions options_;
  MemoryArena& arena_;
  uint64_t readWorkerCount_ = 0;

  // Recomputation storage.
  OwnedArray<uint8_t> sortScratch_;
  OwnedArray<uint8_t> bucketArrays_;
  ArenaPtr<uint8_t> table2_;
  OwnedArray<MatchScratch> matchScratch_;  // one per pool worker, then the final matching's
  ArenaPtr<uint8_t> pairBuffers_;          // 32 pairs per pool worker, then 8
  OwnedArray<BucketWriter<128>> writers_;
  // The context's views of the arrays above.
  ArenaBuffer<BucketWriter<128>*> writerTable_;
  ArenaBuffer<MatchScratch*> scratchTable_;
  ArenaBuffer<MatchPair*> pairTable_;
  ArenaBuffer<uint64_t*> sortTable_;
  ArenaBuffer<PrefixF1Entry*> bucketTable_;
  RecomputeContext recompute_;

  // Read storage: a 2 MiB read buffer and a 65,536-value decode buffer per read worker.
  OwnedArray<uint8_t> readBuffers_;
  OwnedArray<uint8_t> decodeBuffers_;

  ThreadPool::Handle lowPriorityPool_;
  ThreadPool::Handle pool_;

  bool stop_ = false;
  std::condition_variable condition_;
  std::vector<std::shared_ptr<PlotJob>> jobs_;
  std::vector<std::thread> readWorkers_;
  std::thread computeWorker_;
  std::thread treeWorker_;
  JobEventCallback jobEvents_;
};

// Opens a plot for the engine (see OpenPlotFile of the plot files).
inline std::shared_ptr<PlotFile> OpenPlotFile(PlotAccessEngine& engine,
                                              const std::filesystem::path& path,
                                              uint64_t directoryIndex) {
  return OpenPlotFile(engine.Owner(), path, directoryIndex);
}

// The recomputation in the engine's storage (see RecomputeContext).
inline uint64_t RecomputeFromPrefixes(PlotAccessEngine& engine, const uint8_t plotId[32],
                                      uint8_t level, const uint32_t prefixes[4],
                                      uint8_t (*results)[16], uint64_t resultCapacity, uint64_t* y,
                                      uint64_t yCapacity, bool lowPriority) {
  return RecomputeFromPrefixes(engine.Recompute(), plotId, level, prefixes, results, resultCapacity,
                               y, yCapacity, lowPriority);
}
