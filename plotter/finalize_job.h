#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "chia/park_decoder.h"
#include "chia/park_encoder.h"
#include "plotter/block_decode_ring.h"
#include "plotter/entry_bitmap.h"
#include "plotter/finalize_pipeline.h"
#include "plotter/finalize_resume_record.h"
#include "plotter/plot_header.h"
#include "plotter/plot_scale.h"
#include "runtime/arena_buffer.h"
#include "runtime/batch_queue.h"
#include "runtime/buffer_pool.h"
#include "runtime/direct_file.h"
#include "runtime/io_worker.h"
#include "runtime/memory_arena.h"
#include "runtime/region_reader.h"
#include "runtime/transfer_progress.h"

// Values of the job's state, read and written under the job mutex.
enum FinalizeJobState : uint32_t {
  kFinalizeIdle = 0,  // finished, failed, saved or never started
  kFinalizeLoading = 1,
  kFinalizeRunning = 2,
  kFinalizeSaving = 3,  // save requested
};

struct FinalizeJobConfig {
  uint64_t memoryBudget = 0;
  uint64_t threadCount = 0;
  PlotScale scale{};  // thins the stop interval, pipeline memory and region reader sizes
};

// The sizes a job derives from its configuration; at the production scale they are the full
// figures, thinned with the plot scale otherwise.
struct FinalizeSizes {
  uint64_t pipelineMemory;   // min(budget + 256 MiB - required, 1 GiB)
  uint64_t stopInterval;     // blocks between stop checks: 256
  uint64_t queueItems;       // batch queue: 2,097,152 values
  uint64_t poolBufferBytes;  // 4 stream buffers of 64 MiB
  // The region reader keeps 256 MiB of each strided mark pass for the compact pass of the same
  // table, spread over the table as chunks between 64 MiB gaps, so that the second read of a
  // table skips that much of the disk.
  uint64_t regionDataBytes;
  uint64_t regionGapBytes;
};

// Rewrites one complete sparse plot into a final plot, resumably: the last table is copied,
// tables 4..1 are marked and then compacted to the entries a later table uses, table 0 is
// filtered and re-encoded, and the header and completion marker go last. A save request stops
// the run at a block boundary and keeps a FinalizeResumeRecord in the unfinished file.
//
// Built once in working memory and reused, one plot at a time. The owner and the run thread meet
// only under the job mutex.
class FinalizeJob {
 public:
  using WarningCallback = std::function<void(const std::string&)>;
  // Runs on the run thread at every stop check and once when a continued run has loaded its
  // saved state, with the position reached; a test uses it to request a save at a chosen point.
  using StopHook = std::function<void(const FinalizeResumeRecord&)>;

  // Bytes the job needs before its pipeline gets more than 256 MiB: thread count x 512 +
  // 1,654,652,928, the region reader's memory and the decode ring's.
  static uint64_t RequiredMemory(uint64_t threadCount, const PlotScale& scale);
  // For a configuration that passes the constructor's checks.
  static FinalizeSizes Sizes(const FinalizeJobConfig& config);

  // Raises "C3DB2AB4" for a budget below RequiredMemory, "4C80C33A" for no threads; whatever was
  // built is released when a later member fails.
  FinalizeJob(const FinalizeJobConfig& config, MemoryArena& arena, WarningCallback warning,
              const PauseByte* sourcePause, const PauseByte* destinationPause);
  ~FinalizeJob();
  FinalizeJob(const FinalizeJob&) = delete;
  FinalizeJob& operator=(const FinalizeJob&) = delete;

  // Checks the sparse plot (and the unfinished final plot when continuing) and starts the run
  // thread. Every refusal is a std::runtime_error, with the job left idle.
  void Start(const std::filesystem::path& source, const std::filesystem::path& destination,
             uint8_t continueFlag);

  struct Status {
    uint32_t state;
    double progress;
    std::exception_ptr failure;
    uint8_t finished;
  };
  Status ReadStatus();
  // Moves a loading or running job to saving; false in any other state.
  bool RequestSave();
  // Joins the run thread of the last Start, if any.
  void WaitForRun();
  void SetStopHook(StopHook hook) { stopHook_ = std::move(hook); }

 private:
  void CheckSource();
  void CheckDestination();
  void Run();
  void LoadSaved();
  void CopyLastTable();
  void MarkTablePass();
  void CompactTablePass();
  // Hands the line points of table t that bitmap A marks used (all of table 4) to the pipeline
  // until the table ends or a save is requested (true); the stages may still be running.
  bool FeedUsedPairs(uint32_t t, const char* tooLargeCode);
  void EncodeTablePass();
  void WriteEnd(bool complete);
  void SaveProgress(bool didWork);
  void CloseFiles();

  // Runs the rest of the current table's source blocks through the decode ring: `work` on its
  // workers, `take` in block order on this thread; true when `take` ended the run.
  bool RunSourceBlocks(const BlockDecodeRing::Work& work, const BlockDecodeRing::Take& take);
  // Decodes a slot's block on a ring worker; returns the values and sets the first value's entry
  // index.
  std::pair<uint64_t*, uint64_t> DecodeSlot(BlockDecodeRing::Slot& slot, uint64_t& firstIndex) const;
  void OpenSource(uint32_t table, bool strided);
  void SetUpDecoder(uint32_t table);
  // Counts a block; true when a save was requested at this boundary.
  bool StopCheck();
  double Progress() const;
  uint64_t SavedWords(bool bitmapA) const;
  void StartEncoder(uint32_t table);
  void EncoderSink(const uint8_t* park, uint64_t length);

  uint64_t memoryBudget_;
  uint64_t threadCount_;
  PlotScale scale_;
  FinalizeSizes sizes_{};
  // The job mutex is progress_.mutex; it guards state_, progress, failure_ and finished_.
  TransferProgress progress_;
  uint32_t state_ = kFinalizeIdle;
  std::mt19937_64 random_;
  FinalizeResumeRecord record_{};
  PlotHeader source_{};
  PlotHeader destination_{};
  // Read-only during a pass, shared by the ring's workers.
  ParkDecoder decoder_;
  ArenaBuffer<uint8_t> block_;
  WarningCallback warning_;
  std::optional<FinalizePipeline> pipeline_;
  std::optional<BlockDecodeRing> ring_;
  BatchQueue::Handle queue_;
  BufferPool::Handle pool_;
  EntryBitmap bitmapA_;
  EntryBitmap bitmapB_;
  ArenaPtr<ParkEncoder> encoder_;
  ArenaBuffer<uint8_t> regionMemory_;
  DirectFileHandle sourceFile_;
  DirectFileHandle destinationFile_;
  IoWorkerHandle sourceWorker_;
  IoWorkerHandle destinationWorker_;
  std::optional<RegionReader> reader_;
  std::optional<FileWriter> writer_;
  StopHook stopHook_;
  std::thread thread_;
  std::exception_ptr failure_;
  uint8_t continue_ = 0;
  uint8_t finished_ = 0;
  bool didWork_ = false;
};

using FinalizeJobHandle = ArenaPtr<FinalizeJob>;

FinalizeJobHandle NewFinalizeJob(const FinalizeJobConfig& config, MemoryArena& arena,
                                 FinalizeJob::WarningCallback warning, const PauseByte* sourcePause,
                                 const PauseByte* destinationPause);
// Joins a running job, destroys it and gives its memory back to its arena.
void DeleteFinalizeJob(FinalizeJobHandle& job);

// The pair (x, y), y < x, that a line point x(x - 1)/2 + y stands for.
FinalizePipeline::Pair LinePointToPair(uint64_t linePoint);
// LinePointToPair of each point, four at a time where the processor can. The pairs may overlay
// the points when they start at or before them.
void LinePointsToPairs(const uint64_t* points, uint64_t count, FinalizePipeline::Pair* pairs);
