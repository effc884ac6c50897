#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "chia/find_matches.h"
#include "chia/park_encoder.h"
#include "plotter/distribution_kernels.h"
#include "plotter/distribution_pass.h"
#include "plotter/engine_buffers.h"
#include "plotter/engine_memory.h"
#include "plotter/match_kernels.h"
#include "plotter/plot_header.h"
#include "plotter/temp_file_header.h"
#include "runtime/arena_buffer.h"
#include "runtime/batch_queue.h"
#include "runtime/bucket_writer.h"
#include "runtime/buffer_pool.h"
#include "runtime/direct_file.h"
#include "runtime/file_stream.h"
#include "runtime/io_worker.h"
#include "runtime/memory_arena.h"
#include "runtime/multi_file_stream.h"
#include "runtime/thread_pool.h"

// Values of PlotEngine::state, read and written under the engine mutex.
enum PlotEngineState : uint32_t {
  kPlotIdle = 0,        // idle or finished
  kPlotAllocating = 1,  // allocating temporary files
  kPlotLoading = 2,
  kPlotPlotting = 3,
  kPlotSaving = 4,  // stop requested
};

// Makes one sparse plot at a time. Everything a plot needs is allocated once, here, from the
// engine arena: a plot runs without allocating in its hot paths. The members are the engine's
// working state for the plot thread and its passes; the client core reads only state, progress,
// finished and failure, under `mutex`.
struct PlotEngine {
  using LogCallback = std::function<void(const std::string&)>;

  // Builds the members in dependency order; when one fails, those already built are destroyed
  // and the failure passes on. "BC795C07" when the budget cannot hold the estimate and the
  // smallest stream, "B8AC7EB7" for a temp-file limit of 0 or above 16.
  PlotEngine(const PlotEngineSettings& settings, MemoryArena& arena, LogCallback log,
             const PauseMask* miningValue, const PauseByte* miningFlag);
  // Waits for a running plot thread, then releases everything in the reverse of member order.
  ~PlotEngine();
  PlotEngine(const PlotEngine&) = delete;
  PlotEngine& operator=(const PlotEngine&) = delete;

  // Progress callbacks of long operations; each stores the fraction under the mutex.
  void SetProgress(double fraction);
  // True while loading; anything else stops the load.
  bool OnLoadProgress(double fraction);
  // Loading or plotting becomes allocating; false in the idle and saving states (which stops
  // the allocation).
  bool OnAllocateProgress(double fraction);

  // Prepares a plot and starts the plot thread: a new plot from `plotId` (with `level` and an
  // optional 512-byte key block), or, for a null `plotId`, the saved plot the temp files and
  // the plot file hold. Raises on every refusal; the engine is then idle with its files closed.
  void StartPlot(const std::vector<std::filesystem::path>& tempPaths,
                 const std::filesystem::path& plotPath, const uint8_t* plotId, uint8_t level,
                 const uint8_t* keyBlock);
  // Resumes the plot saved in these files.
  void StartPlotWithPaths(std::vector<std::filesystem::path> tempPaths,
                          const std::filesystem::path& plotPath);

  // The plot thread: allocation, loading, the steps, and the save or the end of the plot. Stores
  // its failure instead of raising.
  void Run();

  // Test hook, called under the mutex wherever the plot thread looks for a stop request, with
  // the state and the position; true does what the client does on a save request.
  using StopHook = std::function<bool(uint32_t state, const TempFileHeader& position)>;
  StopHook stopHook;
  // Runs the hook; the caller holds the mutex.
  void ApplyStopHook();

  // Task body: sorts the u64 values of in-memory bucket `bucket` with the worker's scratch.
  void SortBucketTask(uint64_t worker, uint64_t bucket);

  // Distribution passes: spread input bucket `inputBucket` of the stream's read side over the
  // 256 in-memory buckets and store their counts.
  void RunBucketPass8(uint64_t inputBucket);       // 8-byte entries by group
  void RunBucketPass12(uint64_t inputBucket);      // 12-byte entries by group
  void SetupBucketOutputs(uint64_t inputBucket);   // 16-byte entries by group
  void SetupBucketOutputs2(uint64_t inputBucket);  // 20-byte entries by group
  void SetupBucketOutputs3(uint64_t inputBucket);  // 24-byte entries by group
  void SetupBucketOutputs4(uint64_t inputBucket);  // 28-byte entries by value

  // Any distribution of W-byte entries from the stream into the in-memory buckets.
  template <uint64_t W>
  void DistributeInputBucket(uint64_t inputBucket, DistributionKernel kernel);

  // Writes the 256 sorted 28-byte buckets into the next step's 128 buckets, numbering entries
  // from `base`.
  void BucketPrefixSums(uint64_t base);
  void Regroup(uint64_t base, RegroupKernel kernel);

  // Counting sort of in-memory bucket `bucket` by group, into its row of the group tables.
  template <uint64_t W>
  void SortBucketGroups(uint64_t worker, uint64_t bucket);

  // ---- Steps. The position is (step, sub-step, bucket) in temp header 0. ----
  // Entry widths the current (step, sub-step) reads and writes and the stream side it writes:
  // "B8B2233B", "C67B743A", "DBDA8EA8" for a step above 7.
  uint64_t StepInputWidth() const;
  uint64_t StepOutputWidth() const;
  uint64_t StepFlag() const;
  // Layouts A and B, the read side and the temp region size for the current (step, sub-step).
  void ResetStepState();
  // Binds every 128-slot writer to the stream ("628B520A" bound, "2CE9ACE7" not empty).
  void BindBucketBuffers();
  // Hands every 128-slot writer's staged entries to the stream and unbinds it ("0D86FEB5" when
  // one is not bound). An entry the stream dropped over a bucket's budget would be lost from the
  // table for good, so any drop fails the plot with "invalid temp file: 9E3C5B17".
  void FlushBucketBuffers();
  // Starts the stream on the current step with the counts the temp headers keep.
  void FeedStream();
  // Moves the running stream on to the current (step, sub-step) after ResetStepState.
  void HandOverStream();
  // Runs the current (step, sub-step) from the position's bucket until it ends or a save is
  // requested. "596EEE77" for a step above 7, "934E2AB1" .. "321B3155" for a sub-step above 1.
  // On a failure no writer stays bound and the park-value queue has no consumer.
  void RunStep();
  void RunStep0();  // F1 into the 128 buckets
  void RunStep1();  // table 2
  void RunStep2Sub0();
  void RunStep3Sub0();
  void RunStep4Sub0();
  void RunStep5Sub0();
  void RunStep6Sub0();
  void RunStep2Sub1();  // writes plot table 0
  void RunStep3Sub1();
  void RunStep4Sub1();
  void RunStep5Sub1();
  void RunStep6Sub1();  // writes plot table 4
  void RunStep7();      // writes plot table 5
  // Begins a table on the encoder, its parks going to the plot data; a resumed table reloads the
  // state saved in temp file 0 ("2554D2FB" for a length that is not a multiple of 4096).
  void StartTableEncoder(const DeltaCodingTable& coding, bool lastTable, uint64_t indexDivisor);
  void ResumeTableEncoder(const DeltaCodingTable& coding, bool lastTable, uint64_t indexDivisor);
  // The progress fraction of the position; called with the mutex held.
  void UpdateProgress();
  // Between buckets: true when a save is requested, else the progress is updated.
  bool SaveRequested();

  template <uint64_t W>
  void RunMatchPass(void (PlotEngine::*distribute)(uint64_t), MatchKernel kernel, bool valued,
                    uint64_t range);
  template <uint64_t W>
  void RunTablePass(uint32_t table, DistributionKernel kernel,
                    void (*sort)(PlotEngine&, uint64_t, uint64_t), RegroupKernel regroup);

  uint8_t* const* BucketData() const { return bucketData.data(); }
  uint64_t* GroupStart(uint64_t bucket) {
    return groupStart.Data() + bucket * kGroupsPerMemoryBucket;
  }
  uint64_t* GroupLength(uint64_t bucket) {
    return groupLength.Data() + bucket * kGroupsPerMemoryBucket;
  }

  // Built in the constructor, destroyed in the reverse of this order.
  PlotEngineSettings settings;
  uint32_t state = kPlotIdle;
  double progress = 0;
  OwnedArray<BucketWriter<128>> writers128;  // per worker, bound to the stream for a step
  OwnedArray<BucketWriter<256>> writers256;  // per worker, bound to a sink for one pass
  ArenaPtr<MultiFileStream> stream;
  BufferPool::Handle bufferPool;
  uint64_t usedTempFiles = 0;
  OwnedArray<DirectFile> tempFiles;
  OwnedArray<IoWorker> tempWorkers;
  DirectFileHandle plotFile;
  IoWorkerHandle plotWorker;
  ArenaPtr<ParkEncoder> encoder;
  BatchQueue::Handle batchQueue;
  std::optional<FileWriter> plotData;
  FileWriter* plotWriter = nullptr;  // null while no plot data is being written
  ArenaBuffer<TempFileHeader> tempHeaders;
  std::mt19937_64 random;  // every link and completion-marker value this engine writes
  PlotHeader plotHeader{};
  uint8_t f1Key[32] = {};
  ThreadPool::Handle pool;
  std::array<ArenaBuffer<uint8_t>, kMemoryBuckets> buckets;
  std::array<uint8_t*, kMemoryBuckets> bucketData{};
  std::array<uint64_t, kMemoryBuckets> bucketCapacity{};  // entries, as the sinks take them
  std::array<uint64_t, kMemoryBuckets> bucketCounts{};
  OwnedArray<uint8_t> sortScratch;    // per worker, one bucket of the widest entries
  ArenaBuffer<uint64_t> groupStart;   // 256 x 556
  ArenaBuffer<uint64_t> groupLength;  // 256 x 556
  std::condition_variable done;       // notified when the plot thread ends
  std::thread plotThread;
  std::mutex mutex;
  LogCallback log;
  uint8_t resume = 0;
  uint8_t finished = 0;
  std::exception_ptr failure;
  std::array<BucketRegion, MultiFileStream::kBuckets> layoutA{};
  std::array<BucketRegion, MultiFileStream::kBuckets> layoutB{};
  uint64_t tempRegionBytes = 0;  // where the saved park-encoder state begins in temp file 0
  OwnedArray<MatchScratch> matchScratch;
  uint64_t streamReadSide = 1;  // the stream side the current step drains
};

// The I/O weight of a (step, sub-step) for the progress fraction, from the stream's per-bucket
// share of blocks kept in memory. "7729975F", "DC7A8E46", "490BC0A6" for a sub-step at steps 0,
// 1, 7; "43EDE124" for a step above 7.
double PlotStepIoWeight(uint8_t step, uint8_t subStep, uint64_t bucketShare, uint64_t blockBytes);

// Ends the plot when an in-memory table would be empty: its figures divide by its entry count.
inline constexpr const char* kEmptyTableError = "invalid temp file: 3B61C0E4";
inline constexpr const char* kDroppedEntriesError = "invalid temp file: 9E3C5B17";

using PlotEngineHandle = ArenaPtr<PlotEngine>;

// Places the engine in `arena` (heap when the arena is full) and builds it from `engineArena`.
// The storage goes back when construction fails. std::bad_alloc when no memory can be had.
PlotEngineHandle CreatePlotEngine(MemoryArena& arena, const PlotEngineSettings& settings,
                                  MemoryArena& engineArena, PlotEngine::LogCallback log,
                                  const PauseMask* miningValue, const PauseByte* miningFlag);
// Waits for a running plot, then destroys the engine and gives its storage back.
void DeletePlotEngine(PlotEngineHandle& engine);

// Array destroyers of the engine's members.
void DestroyWorkerThreadArray(OwnedArray<IoWorker>& workers);
void DestroyDirectFileArray(OwnedArray<DirectFile>& files);
void DeleteBlockSet(ArenaPtr<ParkEncoder>& encoder);

// Task bodies for the worker pool and the park-value queue.
void PushToBatchQueueTask(BatchQueue& queue, const uint64_t* values, uint64_t count);
// The queue's consumer: appends the values to the encoder, which encodes a park each time its
// value buffer fills.
BatchQueue::Consumer EncodeValuesTask(ParkEncoder& encoder);
// Radix sorts of in-memory bucket `bucket` with the worker's scratch: 12, 20, 24, 28 bytes.
void SortBucketTask(PlotEngine& engine, uint64_t worker, uint64_t bucket);
void SortBucketTask2(PlotEngine& engine, uint64_t worker, uint64_t bucket);
void SortBucketTask3(PlotEngine& engine, uint64_t worker, uint64_t bucket);
void SortBucketTask4(PlotEngine& engine, uint64_t worker, uint64_t bucket);

namespace plot_engine_detail {

// The stream's read side as the source of a distribution job.
class StreamSource final : public EntrySource {
 public:
  explicit StreamSource(MultiFileStream& stream) : stream_(stream) {}
  void TakeEntries(void* out, uint64_t count) override { stream_.TakeEntries(out, count); }

 private:
  MultiFileStream& stream_;
};

}  // namespace plot_engine_detail

template <uint64_t W>
void PlotEngine::DistributeInputBucket(uint64_t inputBucket, DistributionKernel kernel) {
  InMemoryBucketSink<W> sink(bucketData.data(), bucketCapacity.data());
  plot_engine_detail::StreamSource source(*stream);
  DistributionJob job;
  job.source = &source;
  job.total = stream->HeldEntries(streamReadSide, inputBucket);
  job.groupLimit = settings.scale.groups;
  job.valueRange = tempHeaders[0].ranges[2];
  RunDistribution(*pool, writers256, sink, job, kernel);
  TakeBucketCounts(sink, bucketCounts.data());
}

template <uint64_t W>
void PlotEngine::SortBucketGroups(uint64_t worker, uint64_t bucket) {
  void (*sort)(void*, uint64_t, void*, uint64_t*, uint64_t*) = nullptr;
  if constexpr (W == 8) sort = SortBucketRecords8;
  if constexpr (W == 12) sort = SortBucketRecords12;
  if constexpr (W == 16) sort = SortBucketRecords16;
  if constexpr (W == 20) sort = SortBucketRecords20;
  if constexpr (W == 24) sort = SortBucketRecords24;
  static_assert(W == 8 || W == 12 || W == 16 || W == 20 || W == 24);
  sort(bucketData[bucket], bucketCounts[bucket], sortScratch[worker], GroupStart(bucket),
       GroupLength(bucket));
}
