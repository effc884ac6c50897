#include "plotter/finalize_pipeline.h"

#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "chia/sort_kernels.h"

namespace {

constexpr uint64_t kBuckets = FinalizePipeline::kBuckets;

// Buckets values by where they lie between the smallest and the largest: every value lands in
// 0..255, all of them in 0 when they are equal.
struct RangeBucket {
  uint64_t lo;
  uint64_t factor;
  RangeBucket(uint64_t lo, uint64_t hi) : lo(lo), factor(hi == lo ? 0 : 0xFF00000000 / (hi - lo)) {}
  uint64_t operator()(uint64_t v) const { return ((v - lo) * factor) >> 32; }
};

constexpr uint64_t kScatterParts = 16;
// Below this many items one thread scatters alone.
constexpr uint64_t kParallelScatter = uint64_t{1} << 16;

// Counting pass and prefix offsets of `key` over `count` items, then the scatter of make(i) for
// item i into `to`. The parts are counted and scattered on the pool, part p's items of a bucket
// after those of parts below p: the order is that of a single pass over the items.
template <typename T, typename U, typename Key, typename Make>
void ScatterByRange(ThreadPool& pool, const T* from, uint64_t count, U* to, uint64_t* starts,
                    uint64_t* counts, Key key, Make make) {
  std::fill(counts, counts + kBuckets, 0);
  if (count == 0) {
    std::fill(starts, starts + kBuckets, 0);
    return;
  }
  const uint64_t parts = count < kParallelScatter ? 1 : kScatterParts;
  const auto partBegin = [&](uint64_t p) { return p * count / parts; };
  uint64_t partLo[kScatterParts], partHi[kScatterParts];
  const auto bounds = [&](uint64_t, uint64_t p) {
    uint64_t lo = key(from[partBegin(p)]), hi = lo;
    for (uint64_t i = partBegin(p); i < partBegin(p + 1); ++i) {
      lo = std::min<uint64_t>(lo, key(from[i]));
      hi = std::max<uint64_t>(hi, key(from[i]));
    }
    partLo[p] = lo;
    partHi[p] = hi;
  };
  if (parts == 1) {
    bounds(0, 0);
  } else {
    pool.Run(bounds, parts);
  }
  const uint64_t lo = *std::min_element(partLo, partLo + parts);
  const uint64_t hi = *std::max_element(partHi, partHi + parts);
  const RangeBucket bucket(lo, hi);
  uint64_t cursor[kScatterParts][kBuckets] = {};
  const auto tally = [&](uint64_t, uint64_t p) {
    for (uint64_t i = partBegin(p); i < partBegin(p + 1); ++i) ++cursor[p][bucket(key(from[i]))];
  };
  const auto scatter = [&](uint64_t, uint64_t p) {
    uint64_t* at = cursor[p];
    for (uint64_t i = partBegin(p); i < partBegin(p + 1); ++i)
      to[at[bucket(key(from[i]))]++] = make(i);
  };
  if (parts == 1) {
    tally(0, 0);
  } else {
    pool.Run(tally, parts);
  }
  for (uint64_t b = 0, at = 0; b < kBuckets; ++b) {
    starts[b] = at;
    for (uint64_t p = 0; p < parts; ++p) {
      const uint64_t n = cursor[p][b];
      cursor[p][b] = at;
      at += n;
      counts[b] += n;
    }
  }
  if (parts == 1) {
    scatter(0, 0);
  } else {
    pool.Run(scatter, parts);
  }
}

template <bool Second>
[[gnu::always_inline]] inline void RankLoop(const EntryBitmap& bitmap,
                                            FinalizePipeline::Pair* pairs, uint64_t count) {
  RunningRank rank(bitmap);
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t& position = Second ? pairs[i].y : pairs[i].x;
    position = static_cast<uint32_t>(rank(position));
  }
}

[[gnu::target("popcnt")]] void RankWithInstruction(const EntryBitmap& bitmap,
                                                   FinalizePipeline::Pair* pairs, uint64_t count,
                                                   bool second) {
  second ? RankLoop<true>(bitmap, pairs, count) : RankLoop<false>(bitmap, pairs, count);
}

void RankPortably(const EntryBitmap& bitmap, FinalizePipeline::Pair* pairs, uint64_t count,
                  bool second) {
  second ? RankLoop<true>(bitmap, pairs, count) : RankLoop<false>(bitmap, pairs, count);
}

void LowerPriority() {
  // Stage threads yield to everything else on the machine; a refusal only costs speed.
  [[maybe_unused]] const int ignored = nice(19);
}

}  // namespace

void RankPairPositions(const EntryBitmap& bitmap, FinalizePipeline::Pair* pairs, uint64_t count,
                       bool second, BitCount how) {
  if (how == BitCount::kInstruction) {
    RankWithInstruction(bitmap, pairs, count, second);
  } else {
    RankPortably(bitmap, pairs, count, second);
  }
}

namespace {

// Four parts let the producer and all three stages work at once; tiny memories get two.
int PartCount(uint64_t units) {
  return 2 * units >= FinalizePipeline::kMaxParts ? FinalizePipeline::kMaxParts : 2;
}

}  // namespace

FinalizePipeline::FinalizePipeline(uint64_t memory, MemoryArena& arena, uint64_t threadCount) {
  const uint64_t units = std::max<uint64_t>(memory / 48, 1);
  parts_ = PartCount(units);
  partUnits_ = 2 * units / parts_;
  memory_.Allocate(arena, units * 48, 64);
  markPool_ = ThreadPool::Create(arena, threadCount, nullptr, -1);
  rankPool_ = ThreadPool::Create(arena, threadCount, nullptr, -1);
  try {
    stage1_ = std::thread([this] { MarkThread(); });
    stage2_ = std::thread([this] { RankThread(); });
    stage3_ = std::thread([this] { LinePointThread(); });
  } catch (...) {
    Shutdown();
    throw;
  }
}

FinalizePipeline::~FinalizePipeline() { Shutdown(); }

void FinalizePipeline::Shutdown() {
  {
    std::scoped_lock lock(stage1Mutex_, stage2Mutex_, stage3Mutex_);
    stop_ = true;
  }
  stage1Cv_.notify_all();
  stage2Cv_.notify_all();
  stage3Cv_.notify_all();
  for (std::thread* t : {&stage1_, &stage2_, &stage3_}) {
    if (t->joinable()) t->join();
  }
  if (markPool_) ThreadPool::Stop(markPool_);
  if (rankPool_) ThreadPool::Stop(rankPool_);
  memory_.Release();
}

void FinalizePipeline::SetConsumer(EntryBitmap* target, Consumer consumer) {
  std::lock_guard<std::mutex> lock(stage1Mutex_);
  target_ = target;
  consumer_ = std::move(consumer);
  fill_ = 0;
  std::lock_guard<std::mutex> failureLock(failureMutex_);
  failure_ = nullptr;
}

void FinalizePipeline::RethrowFailure() {
  std::lock_guard<std::mutex> lock(failureMutex_);
  if (failure_) std::rethrow_exception(failure_);
}

void FinalizePipeline::StoreFailure(std::exception_ptr failure) {
  std::lock_guard<std::mutex> lock(failureMutex_);
  failure_ = std::move(failure);
}

void FinalizePipeline::RunTask(const Pair* pairs, uint64_t count) {
  RethrowFailure();
  const bool mark = !consumer_;
  while (count > 0) {
    const uint64_t take = std::min(count, Capacity() - fill_);
    if (mark) {
      uint32_t* xs = FirstValues(current_) + fill_;
      uint32_t* ys = SecondValues(current_) + fill_;
      for (uint64_t i = 0; i < take; ++i) {
        xs[i] = pairs[i].x;
        ys[i] = pairs[i].y;
      }
    } else {
      std::copy(pairs, pairs + take, Pairs(current_) + fill_);
    }
    fill_ += take;
    pairs += take;
    count -= take;
    if (fill_ == Capacity()) WaitIdle();
  }
}

// Queues the filled part for stage 1 and moves on to the next part once the stages are done
// with it. Parts are taken and freed in the order they were filled.
void FinalizePipeline::WaitIdle() {
  {
    std::unique_lock<std::mutex> lock(stage1Mutex_);
    const int next = (current_ + 1) % parts_;
    stage1Cv_.wait(lock, [this, next] { return !partBusy_[next]; });
    partBusy_[current_] = true;
    handed_[current_] = fill_;
    stage1Queue_.Push(current_);
    current_ = next;
    fill_ = 0;
  }
  stage1Cv_.notify_all();
}

void FinalizePipeline::WaitStagesIdle() {
  {
    std::unique_lock<std::mutex> lock(stage1Mutex_);
    stage1Cv_.wait(lock, [this] { return !stage1Busy_ && stage1Queue_.size == 0; });
  }
  {
    std::unique_lock<std::mutex> lock(stage2Mutex_);
    stage2Cv_.wait(lock, [this] { return !stage2Busy_ && stage2Queue_.size == 0; });
  }
  {
    std::unique_lock<std::mutex> lock(stage3Mutex_);
    stage3Cv_.wait(lock, [this] { return !stage3Busy_ && stage3Queue_.size == 0; });
  }
}

void FinalizePipeline::WaitAllStages() {
  WaitIdle();
  WaitStagesIdle();
  RethrowFailure();
}

void FinalizePipeline::Reset() {
  // A failed stage may leave later stages still running on its part: clearing under them would
  // free a part that is still read, so every stage must be seen idle first.
  WaitStagesIdle();
  std::scoped_lock lock(stage1Mutex_, stage2Mutex_, stage3Mutex_);
  fill_ = 0;
  current_ = 0;
  std::fill(handed_, handed_ + kMaxParts, 0);
  std::fill(partBusy_, partBusy_ + kMaxParts, false);
  stage1Queue_ = stage2Queue_ = stage3Queue_ = PartQueue{};
  consumer_ = nullptr;
  target_ = nullptr;
  std::lock_guard<std::mutex> failureLock(failureMutex_);
  failure_ = nullptr;
}

void FinalizePipeline::ReleasePart(int part) {
  {
    std::lock_guard<std::mutex> lock(stage1Mutex_);
    partBusy_[part] = false;
  }
  stage1Cv_.notify_all();
}

void FinalizePipeline::HandOn(std::mutex& mutex, std::condition_variable& cv, PartQueue& queue,
                              int part) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    queue.Push(part);
  }
  cv.notify_all();
}

void FinalizePipeline::MarkThread() {
  LowerPriority();
  for (;;) {
    int part;
    uint64_t count;
    {
      std::unique_lock<std::mutex> lock(stage1Mutex_);
      stage1Cv_.wait(lock, [this] { return stop_ || stage1Queue_.size > 0; });
      if (stop_) return;
      part = stage1Queue_.Pop();
      count = handed_[part];
      stage1Busy_ = true;
    }
    bool handedOn = false;
    try {
      if (!consumer_) {
        MarkPart(part, count);
      } else {
        CompactPart(part, count);
        HandOn(stage2Mutex_, stage2Cv_, stage2Queue_, part);
        handedOn = true;
      }
    } catch (...) {
      StoreFailure(std::current_exception());
    }
    {
      std::lock_guard<std::mutex> lock(stage1Mutex_);
      if (!handedOn) partBusy_[part] = false;
      stage1Busy_ = false;
    }
    stage1Cv_.notify_all();
  }
}

// Sets the bits of ascending values. The serial walk sets the word that each slice ends in, so
// the parallel tasks, which stop below that word, never share a word.
void FinalizePipeline::MarkSorted(const uint32_t* values, uint64_t count) {
  if (count == 0) return;
  uint64_t* words = target_->Words();
  uint64_t partEnd[kBuckets];
  uint64_t partStart[kBuckets];
  uint64_t previous = 0;
  for (uint64_t i = 0; i < kBuckets; ++i) {
    const uint64_t start = i * count / kBuckets;
    const uint64_t end = (i + 1) * count / kBuckets;
    partStart[i] = partEnd[i] = start;
    if (start == end) continue;
    if (values[start] < previous) throw std::runtime_error("28374BB7");
    const uint32_t last = values[end - 1];
    previous = last;
    words[last >> 6] |= uint64_t{1} << (last & 63);
    uint64_t j = end - 1;
    while (j > start && (values[j - 1] >> 6) == (last >> 6)) {
      if (values[j - 1] > values[j]) throw std::runtime_error("28374BB7");
      --j;
      words[values[j] >> 6] |= uint64_t{1} << (values[j] & 63);
    }
    partEnd[i] = j;
  }
  markPool_->RunForEachBucket([&](uint64_t, uint64_t b) {
    for (uint64_t k = partStart[b]; k < partEnd[b]; ++k) {
      // The part's last value is below the word the serial walk ended at.
      if (values[k] > values[k + 1]) throw std::runtime_error("28374BB7");
      words[values[k] >> 6] |= uint64_t{1} << (values[k] & 63);
    }
  });
}

void FinalizePipeline::MarkPart(int part, uint64_t count) {
  uint32_t* xs = FirstValues(part);
  uint32_t* ys = SecondValues(part);
  // Widened before any bit is set, so that clearing reaches every mark even of a failed pass.
  uint32_t largest = 0;
  for (uint64_t i = 0; i < count; ++i) largest = std::max({largest, xs[i], ys[i]});
  if (count > 0) target_->Cover(uint64_t{largest} + 1);
  MarkSorted(xs, count);
  // The first values are marked, so their array takes the bucketed copy of the second ones.
  uint64_t starts[kBuckets], counts[kBuckets];
  ScatterByRange(*markPool_, ys, count, xs, starts, counts, [](uint32_t v) { return v; },
                 [ys](uint64_t i) { return ys[i]; });
  markPool_->RunForEachBucket([&](uint64_t, uint64_t b) {
    if (counts[b] > 0) RadixSortU32(xs + starts[b], counts[b], ys + starts[b]);
  });
  MarkSorted(ys, count);
}

// The pairs come in (x, y) order, which the ranks keep: the first positions are ranked where they
// lie, the second ones through (index, y) items bucketed and sorted by y, whose ranks stage 2
// writes back to their pairs.
void FinalizePipeline::CompactPart(int part, uint64_t count) {
  Pair* pairs = Pairs(part);
  BucketJob& job = jobs_[part];
  job.count = count;
  job.pairs = pairs + partUnits_;
  job.spare = pairs;
  job.scratch = pairs + 2 * partUnits_;
  const EntryBitmap* target = target_;
  const BitCount how = FastestBitCount();
  markPool_->RunForEachBucket([&](uint64_t, uint64_t b) {
    const uint64_t begin = b * count / kBuckets;
    const uint64_t end = (b + 1) * count / kBuckets;
    for (uint64_t i = begin == 0 ? 1 : begin; i < end; ++i) {
      const Pair& p = pairs[i - 1];
      if (p.x > pairs[i].x || (p.x == pairs[i].x && p.y > pairs[i].y)) {
        throw std::runtime_error("28374BB7");
      }
    }
  });
  // Items hold the pair's index where the pair held x.
  ScatterByRange(
      *markPool_, pairs, count, job.pairs, job.starts, job.counts,
      [](const Pair& p) { return p.y; },
      [pairs](uint64_t i) {
        return Pair{static_cast<uint32_t>(i), pairs[i].y};
      });
  markPool_->RunForEachBucket([&](uint64_t, uint64_t b) {
    const uint64_t begin = b * count / kBuckets;
    RankPairPositions(*target, pairs + begin, (b + 1) * count / kBuckets - begin, false, how);
  });
}

void FinalizePipeline::RankThread() {
  LowerPriority();
  for (;;) {
    int part;
    {
      std::unique_lock<std::mutex> lock(stage2Mutex_);
      stage2Cv_.wait(lock, [this] { return stop_ || stage2Queue_.size > 0; });
      if (stop_) return;
      part = stage2Queue_.Pop();
      stage2Busy_ = true;
    }
    bool handedOn = false;
    try {
      BucketJob& job = jobs_[part];
      const EntryBitmap* target = target_;
      const BitCount how = FastestBitCount();
      rankPool_->RunForEachBucket([&](uint64_t, uint64_t b) {
        Pair* bucket = job.pairs + job.starts[b];
        const uint64_t n = job.counts[b];
        if (n == 0) return;
        RadixSortPairsBySecond(bucket, n, job.scratch + job.starts[b]);
        RankPairPositions(*target, bucket, n, true, how);
        for (uint64_t i = 0; i < n; ++i) job.spare[bucket[i].x].y = bucket[i].y;
      });
      std::swap(job.pairs, job.spare);
      HandOn(stage3Mutex_, stage3Cv_, stage3Queue_, part);
      handedOn = true;
    } catch (...) {
      StoreFailure(std::current_exception());
    }
    if (!handedOn) ReleasePart(part);
    {
      std::lock_guard<std::mutex> lock(stage2Mutex_);
      stage2Busy_ = false;
    }
    stage2Cv_.notify_all();
  }
}

void FinalizePipeline::LinePointThread() {
  LowerPriority();
  uint64_t batch[kBatch];
  for (;;) {
    int part;
    {
      std::unique_lock<std::mutex> lock(stage3Mutex_);
      stage3Cv_.wait(lock, [this] { return stop_ || stage3Queue_.size > 0; });
      if (stop_) return;
      part = stage3Queue_.Pop();
      stage3Busy_ = true;
    }
    try {
      const BucketJob& job = jobs_[part];
      uint64_t n = 0;
      for (uint64_t i = 0; i < job.count; ++i) {
        batch[n++] = PairLinePoint(job.pairs[i].x, job.pairs[i].y);
        if (n == kBatch) {
          consumer_(batch, n);
          n = 0;
        }
      }
      if (n > 0) consumer_(batch, n);
    } catch (...) {
      StoreFailure(std::current_exception());
    }
    ReleasePart(part);
    {
      std::lock_guard<std::mutex> lock(stage3Mutex_);
      stage3Busy_ = false;
    }
    stage3Cv_.notify_all();
  }
}
