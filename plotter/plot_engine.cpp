#include "plotter/plot_engine.h"

#include <span>
#include <stdexcept>

#include "chia/sort_kernels.h"
#include "runtime/random.h"

namespace {

constexpr uint64_t kIoBufferBytes = uint64_t{64} << 20;
constexpr uint64_t kIoWorkerSlots = 4;
constexpr uint64_t kGroupTableEntries = kMemoryBuckets * kGroupsPerMemoryBucket;  // 142,336

}  // namespace

PlotEngine::PlotEngine(const PlotEngineSettings& engineSettings, MemoryArena& arena,
                       LogCallback logCallback, const PauseMask* miningValue,
                       const PauseByte* miningFlag)
    : settings(engineSettings), random(Random64()), log(std::move(logCallback)) {
  const uint64_t threads = settings.threadCount;
  const uint64_t files = settings.tempFileLimit;
  // The stream needs 1,024 blocks with their bookkeeping out of what the estimate leaves; a
  // bare 1 GiB of head-room is one block short of that.
  if (settings.memoryBudget < RequiredJobMemory(settings)) throw std::runtime_error("BC795C07");
  if (files == 0 || files > MultiFileStream::kMaxFiles) throw std::runtime_error("B8AC7EB7");

  tempFiles.Allocate(arena, files);
  tempWorkers.Allocate(arena, files);
  tempHeaders.Allocate(arena, files);
  tempHeaders.Clear();

  pool = ThreadPool::Create(arena, threads, nullptr, -1);

  for (uint64_t b = 0; b < kMemoryBuckets; ++b) {
    bucketCapacity[b] = MemoryBucketCapacity(b, settings.scale);
    buckets[b].Allocate(arena, bucketCapacity[b] * kWidestEntryBytes, 64);
    bucketData[b] = buckets[b].Data();
  }

  matchScratch.Allocate(arena, threads);
  for (uint64_t w = 0; w < threads; ++w) matchScratch.Set(w, AllocateMatchScratch(arena, arena));

  sortScratch.Allocate(arena, threads);
  for (uint64_t w = 0; w < threads; ++w) {
    sortScratch.Set(w, AllocateBlock(arena, MemoryBucketBytes(settings.scale)));
  }
  groupStart.Allocate(arena, kGroupTableEntries);
  groupLength.Allocate(arena, kGroupTableEntries);

  bufferPool = BufferPool::Create(arena, kIoBufferBytes, 4096, 2, nullptr);

  const DirectFile::WarningCallback forward = [this](const std::string& text) { log(text); };
  plotFile = NewDirectFile(arena, forward);
  for (uint64_t f = 0; f < files; ++f) tempFiles.Set(f, NewDirectFile(arena, forward));

  plotWorker = NewIoWorker(arena, *bufferPool, kIoWorkerSlots, miningFlag);
  for (uint64_t f = 0; f < files; ++f) {
    tempWorkers.Set(f, NewIoWorker(arena, *bufferPool, kIoWorkerSlots, nullptr));
  }

  writers128.Allocate(arena, threads);
  for (uint64_t w = 0; w < threads; ++w) writers128.Set(w, AllocateBlockBuffer(arena, arena));
  writers256.Allocate(arena, threads);
  for (uint64_t w = 0; w < threads; ++w) {
    ArenaPtr<BucketWriter<256>> writer = NewInArena<BucketWriter<256>>(arena);
    writer->AllocateBuffer(arena);
    writers256.Set(w, std::move(writer));
  }

  encoder = CreateParkEncoder(arena, arena);
  batchQueue = BatchQueue::Create(arena, InputBucketBound(settings.scale), nullptr);

  stream = NewInArena<MultiFileStream>(arena, StreamBlockCount(settings),
                                       settings.scale.StreamBlockBytes(), &arena, miningValue);
}

PlotEngine::~PlotEngine() {
  if (plotThread.joinable()) plotThread.join();
  if (bufferPool != nullptr) bufferPool->Release();
}

void PlotEngine::SetProgress(double fraction) {
  std::lock_guard<std::mutex> lock(mutex);
  progress = fraction;
}

bool PlotEngine::OnLoadProgress(double fraction) {
  std::lock_guard<std::mutex> lock(mutex);
  ApplyStopHook();
  progress = fraction;
  return state == kPlotLoading;
}

bool PlotEngine::OnAllocateProgress(double fraction) {
  std::lock_guard<std::mutex> lock(mutex);
  progress = fraction;
  if (state == kPlotLoading || state == kPlotPlotting) state = kPlotAllocating;
  ApplyStopHook();
  return state == kPlotAllocating;
}

void PlotEngine::SortBucketTask(uint64_t worker, uint64_t bucket) {
  RadixSortU64(reinterpret_cast<uint64_t*>(bucketData[bucket]), bucketCounts[bucket],
               reinterpret_cast<uint64_t*>(sortScratch[worker]));
}

void PlotEngine::RunBucketPass8(uint64_t inputBucket) {
  DistributeInputBucket<8>(inputBucket, DistributeEntries8);
}
void PlotEngine::RunBucketPass12(uint64_t inputBucket) {
  DistributeInputBucket<12>(inputBucket, DistributeEntries12B);
}
void PlotEngine::SetupBucketOutputs(uint64_t inputBucket) {
  DistributeInputBucket<16>(inputBucket, DistributeEntries16);
}
void PlotEngine::SetupBucketOutputs2(uint64_t inputBucket) {
  DistributeInputBucket<20>(inputBucket, DistributeEntries20B);
}
void PlotEngine::SetupBucketOutputs3(uint64_t inputBucket) {
  DistributeInputBucket<24>(inputBucket, DistributeEntries24B);
}
void PlotEngine::SetupBucketOutputs4(uint64_t inputBucket) {
  DistributeInputBucket<28>(inputBucket, DistributeEntries28);
}

void PlotEngine::Regroup(uint64_t base, RegroupKernel kernel) {
  uint64_t start[kMemoryBuckets];
  BucketStarts(bucketCounts.data(), base, start);
  RegroupJob job;
  job.data = bucketData.data();
  job.counts = bucketCounts.data();
  job.start = start;
  RunRegroup(*pool, writers128, job, kernel);
}

void PlotEngine::BucketPrefixSums(uint64_t base) { Regroup(base, RegroupEntries28); }

PlotEngineHandle CreatePlotEngine(MemoryArena& arena, const PlotEngineSettings& settings,
                                  MemoryArena& engineArena, PlotEngine::LogCallback log,
                                  const PauseMask* miningValue, const PauseByte* miningFlag) {
  return NewInArena<PlotEngine>(arena, settings, engineArena, std::move(log), miningValue,
                                miningFlag);
}

void DeletePlotEngine(PlotEngineHandle& engine) { engine.reset(); }

void DestroyWorkerThreadArray(OwnedArray<IoWorker>& workers) { workers.Destroy(); }
void DestroyDirectFileArray(OwnedArray<DirectFile>& files) { files.Destroy(); }
void DeleteBlockSet(ArenaPtr<ParkEncoder>& encoder) { encoder.reset(); }

void PushToBatchQueueTask(BatchQueue& queue, const uint64_t* values, uint64_t count) {
  queue.Push(values, count);
}

BatchQueue::Consumer EncodeValuesTask(ParkEncoder& encoder) {
  return [&encoder](std::span<const uint64_t> values) {
    encoder.Append(values.data(), values.size());
  };
}

namespace {

template <void (*Sort)(void*, uint64_t, void*, uint64_t)>
void SortBucket(PlotEngine& engine, uint64_t worker, uint64_t bucket) {
  Sort(engine.bucketData[bucket], engine.bucketCounts[bucket], engine.sortScratch[worker], 0);
}

}  // namespace

void SortBucketTask(PlotEngine& engine, uint64_t worker, uint64_t bucket) {
  SortBucket<RadixSortRecords12>(engine, worker, bucket);
}
void SortBucketTask2(PlotEngine& engine, uint64_t worker, uint64_t bucket) {
  SortBucket<RadixSortRecords20>(engine, worker, bucket);
}
void SortBucketTask3(PlotEngine& engine, uint64_t worker, uint64_t bucket) {
  SortBucket<RadixSortRecords24>(engine, worker, bucket);
}
void SortBucketTask4(PlotEngine& engine, uint64_t worker, uint64_t bucket) {
  SortBucket<RadixSortRecords28>(engine, worker, bucket);
}
