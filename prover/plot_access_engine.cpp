#include "prover/plot_access_engine.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "prover/challenge_scan_job.h"
#include "prover/full_proof_job.h"

namespace {

constexpr uint64_t kReadBufferBytes = PlotFile::kMaxReadBlocks * kPlotBlockBytes;
constexpr uint64_t kDecodeValues = 65536;

}  // namespace

PlotAccessEngine::PlotAccessEngine(const PlotAccessEngineOptions& options, MemoryArena& arena,
                                   MessageCallback messages, JobEventCallback jobEvents)
    : options_(options), arena_(arena), jobEvents_(std::move(jobEvents)) {
  owner_.messageCallback = std::move(messages);
  if (options_.miningThreads == 0) throw std::runtime_error("BF691500");
  if (options_.maxLevel > kMaxCompressionLevel) throw std::runtime_error("982F182C");
  readWorkerCount_ = options_.readThreads != 0 ? options_.readThreads : options_.directoryCount;
  owner_.maxLevel = options_.maxLevel;
  owner_.privateStreams = options_.readThreads;
  try {
    pool_ = ThreadPool::Create(arena_, options_.miningThreads, nullptr, 0);
    if (options_.lowPriority != 0) {
      lowPriorityPool_ = ThreadPool::Create(arena_, options_.miningThreads, nullptr, -1);
    }
    AllocateStorage();
    StartWorkers();
  } catch (...) {
    StopWorkers();
    ThreadPool::Stop(pool_);
    ThreadPool::Stop(lowPriorityPool_);
    throw;
  }
}

PlotAccessEngine::~PlotAccessEngine() {
  StopWorkers();
  jobs_.clear();
  ThreadPool::Stop(pool_);
  ThreadPool::Stop(lowPriorityPool_);
}

void PlotAccessEngine::AllocateStorage() {
  const uint64_t m = options_.miningThreads;
  const uint64_t bucketCapacity = PrefixBucketCapacity(options_.maxLevel);
  const uint64_t table2Capacity = PrefixTable2Capacity(options_.maxLevel);
  const uint64_t bucketBytes = bucketCapacity * sizeof(uint64_t);

  sortScratch_.Allocate(arena_, m);
  sortTable_.Allocate(arena_, m);
  for (uint64_t w = 0; w < m; ++w) {
    sortScratch_.Set(w, AllocateBlock(arena_, bucketBytes));
    sortTable_[w] = reinterpret_cast<uint64_t*>(sortScratch_[w]);
  }
  bucketArrays_.Allocate(arena_, kPrefixBucketCount);
  bucketTable_.Allocate(arena_, kPrefixBucketCount);
  for (uint64_t b = 0; b < kPrefixBucketCount; ++b) {
    bucketArrays_.Set(b, AllocateBlock(arena_, bucketBytes));
    bucketTable_[b] = reinterpret_cast<PrefixF1Entry*>(bucketArrays_[b]);
  }
  table2_ = AllocateBlock(arena_, table2Capacity * sizeof(F2Entry));

  matchScratch_.Allocate(arena_, m + 1);
  scratchTable_.Allocate(arena_, m);
  for (uint64_t w = 0; w <= m; ++w) matchScratch_.Set(w, AllocateMatchScratch(arena_, arena_));
  for (uint64_t w = 0; w < m; ++w) scratchTable_[w] = matchScratch_[w];
  const uint64_t pairCount = m * kGroupPairCapacity + kMaxRecomputeResults;
  pairBuffers_ = AllocateBlock(arena_, pairCount * sizeof(MatchPair));
  std::memset(pairBuffers_.get(), 0, pairCount * sizeof(MatchPair));
  pairTable_.Allocate(arena_, m);
  auto* pairs = reinterpret_cast<MatchPair*>(pairBuffers_.get());
  for (uint64_t w = 0; w < m; ++w) pairTable_[w] = pairs + w * kGroupPairCapacity;
  writers_.Allocate(arena_, m);
  writerTable_.Allocate(arena_, m);
  for (uint64_t w = 0; w < m; ++w) {
    writers_.Set(w, AllocateBlockBuffer(arena_, arena_));
    writerTable_[w] = writers_[w];
  }

  recompute_.maxLevel = options_.maxLevel;
  recompute_.workerCount = m;
  recompute_.pool = pool_.get();
  recompute_.lowPriorityPool = lowPriorityPool_.get();
  recompute_.scaleShift = options_.scale.d;
  recompute_.scaleGroups = options_.scale.groups;
  recompute_.writers = writerTable_.Data();
  recompute_.matchScratch = scratchTable_.Data();
  recompute_.pairBuffers = pairTable_.Data();
  recompute_.sortScratch = sortTable_.Data();
  recompute_.finalScratch = matchScratch_[m];
  recompute_.finalPairs = pairs + m * kGroupPairCapacity;
  recompute_.buckets = bucketTable_.Data();
  recompute_.bucketCapacity = bucketCapacity;
  recompute_.table2 = reinterpret_cast<F2Entry*>(table2_.get());
  recompute_.table2Capacity = table2Capacity;

  readBuffers_.Allocate(arena_, readWorkerCount_);
  decodeBuffers_.Allocate(arena_, readWorkerCount_);
  for (uint64_t r = 0; r < readWorkerCount_; ++r) {
    readBuffers_.Set(r, AllocateBlock(arena_, kReadBufferBytes, 4096));
    decodeBuffers_.Set(r, AllocateBlock(arena_, kDecodeValues * sizeof(uint64_t)));
    owner_.slots.push_back(PlotReadSlot{
        readBuffers_[r], reinterpret_cast<uint64_t*>(decodeBuffers_[r]), kDecodeValues, 0});
  }
}

void PlotAccessEngine::StartWorkers() {
  readWorkers_.reserve(readWorkerCount_);
  for (uint64_t r = 0; r < readWorkerCount_; ++r) {
    readWorkers_.emplace_back([this, r] { WorkerLoop(kStageRead, r); });
  }
  computeWorker_ = std::thread([this] { WorkerLoop(kStageCompute, 0); });
  treeWorker_ = std::thread([this] { WorkerLoop(kStageTree, 0); });
}

void PlotAccessEngine::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(Mutex());
    stop_ = true;
  }
  condition_.notify_all();
  for (std::thread& worker : readWorkers_) {
    if (worker.joinable()) worker.join();
  }
  if (treeWorker_.joinable()) treeWorker_.join();
  if (computeWorker_.joinable()) computeWorker_.join();
}

std::shared_ptr<PlotFile> PlotAccessEngine::LockPlot(const PlotFile* plot) {
  for (const std::weak_ptr<PlotFile>& weak : owner_.plots) {
    std::shared_ptr<PlotFile> shared = weak.lock();
    if (shared && shared.get() == plot) return shared;
  }
  throw std::runtime_error("3284DA93");
}

std::shared_ptr<ChallengeScanJob> PlotAccessEngine::QueueChallengeScan(const PlotFile* plot,
                                                                       const uint8_t challenge[32],
                                                                       int64_t priority,
                                                                       CompletionQueue* queue,
                                                                       void* owner) {
  return QueueJob<ChallengeScanJob>(plot, priority, queue, owner, challenge);
}

std::shared_ptr<FullProofJob> PlotAccessEngine::QueueFullProof(
    const PlotFile* plot, uint64_t matchPosition, const uint8_t challenge[32], int64_t priority,
    CompletionQueue* queue, void* owner, const QualityJob* source, uint8_t lowPriority) {
  return QueueJob<FullProofJob>(plot, priority, queue, owner, matchPosition, challenge, source,
                                lowPriority);
}

void PlotAccessEngine::ReapFinishedJobs() {
  std::erase_if(jobs_, [](const std::shared_ptr<PlotJob>& job) { return job->Done(); });
}

std::shared_ptr<PlotJob> PlotAccessEngine::PickReadyJob(uint32_t stage, uint64_t readWorker) {
  // One read worker per directory serves only the plots of its own directory.
  const bool byDirectory = stage == kStageRead && options_.readThreads == 0;
  const std::shared_ptr<PlotJob>* chosen = nullptr;
  for (const std::shared_ptr<PlotJob>& job : jobs_) {
    if (byDirectory && job->Plot().deviceIndex != readWorker) continue;
    if (!job->IsReady(stage)) continue;
    // Strictly smaller only: among equal priorities the job queued first wins.
    if (chosen == nullptr || job->Priority() < (*chosen)->Priority()) chosen = &job;
  }
  return chosen != nullptr ? *chosen : nullptr;
}

void PlotAccessEngine::WorkerLoop(uint32_t stage, uint64_t index) {
  std::unique_lock<std::mutex> lock(Mutex());
  for (;;) {
    if (stop_) return;
    ReapFinishedJobs();
    std::shared_ptr<PlotJob> job = PickReadyJob(stage, index);
    if (!job) {
      condition_.wait(lock);
      continue;
    }
    lock.unlock();
    try {
      job->Step(stage, stage == kStageRead ? index : 0);
    } catch (...) {
      // A step stores its own failure in its job.
    }
    condition_.notify_all();
    job.reset();
    lock.lock();
  }
}
