#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "plotter/entry_bitmap.h"
#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"
#include "runtime/thread_pool.h"

// Position work of the finalization on three threads of its own while the producer decodes.
// Mark mode (no consumer): sets the bit of both positions of every pair in the target bitmap.
// Compact mode: replaces both positions by their ranks among the target's set bits and hands the
// line points of the ranked pairs, in non-decreasing order, to the consumer in batches of 1024;
// pairs must come in (x, y) order, which the ranks keep ("28374BB7" within a part otherwise).
//
// The memory is split into parts that the producer fills in turn and the three stages take in the
// same order, so that while one part fills, the stages work on up to three others.
//
// Per pass: SetConsumer, RunTask any number of times, WaitAllStages. One producer thread.
class FinalizePipeline {
 public:
  struct Pair {
    uint32_t x;
    uint32_t y;
  };
  using Consumer = std::function<void(const uint64_t* linePoints, uint64_t count)>;
  static constexpr uint64_t kBatch = 1024;
  static constexpr uint64_t kBuckets = 256;

  // `memory` bytes (rounded down to a multiple of 48, at least 48) come from `arena`.
  FinalizePipeline(uint64_t memory, MemoryArena& arena, uint64_t threadCount);
  ~FinalizePipeline();
  FinalizePipeline(const FinalizePipeline&) = delete;
  FinalizePipeline& operator=(const FinalizePipeline&) = delete;

  // Installs the target and the consumer for the next pass and clears a stored failure.
  void SetConsumer(EntryBitmap* target, Consumer consumer);
  // Rethrows a stored failure, then appends the pairs, handing over each full part.
  void RunTask(const Pair* pairs, uint64_t count);
  // Hands over what is buffered and waits for the three stages; rethrows a stored failure.
  void WaitAllStages();
  // Waits until every stage is idle, then forgets the pass: buffered pairs, consumer, target and
  // stored failure.
  void Reset();

  // Pairs one part holds in the current mode.
  uint64_t Capacity() const { return consumer_ ? partUnits_ : 3 * partUnits_; }
  // Parts the memory is split into: one fills while the others pass through the stages.
  int Parts() const { return parts_; }

  static constexpr int kMaxParts = 4;

 private:
  struct BucketJob {
    Pair* pairs = nullptr;
    Pair* spare = nullptr;    // room for the next stage's bucketing copy
    Pair* scratch = nullptr;  // sort scratch
    uint64_t count = 0;
    uint64_t starts[kBuckets];
    uint64_t counts[kBuckets];
  };
  // Parts waiting for one stage, in the order they were filled. At most every part waits.
  struct PartQueue {
    int parts[kMaxParts];
    int head = 0;
    int size = 0;
    void Push(int part) { parts[(head + size++) % kMaxParts] = part; }
    int Pop() {
      const int part = parts[head];
      head = (head + 1) % kMaxParts;
      --size;
      return part;
    }
  };

  uint8_t* PartBase(int part) const { return memory_.Data() + part * partUnits_ * 24; }
  uint32_t* FirstValues(int part) const { return reinterpret_cast<uint32_t*>(PartBase(part)); }
  uint32_t* SecondValues(int part) const { return FirstValues(part) + 3 * partUnits_; }
  Pair* Pairs(int part) const { return reinterpret_cast<Pair*>(PartBase(part)); }

  void WaitIdle();
  void StoreFailure(std::exception_ptr failure);
  void ReleasePart(int part);
  void RethrowFailure();
  // Waits until each stage in turn has nothing queued and nothing under way.
  void WaitStagesIdle();
  // Passes a part on to the stage guarded by `mutex`.
  void HandOn(std::mutex& mutex, std::condition_variable& cv, PartQueue& queue, int part);

  void MarkThread();
  void RankThread();
  void LinePointThread();
  void MarkPart(int part, uint64_t count);
  void MarkSorted(const uint32_t* values, uint64_t count);
  void CompactPart(int part, uint64_t count);
  void Shutdown();

  EntryBitmap* target_ = nullptr;
  Consumer consumer_;
  int parts_;
  uint64_t partUnits_;  // a part is 24 bytes a unit
  ArenaBuffer<uint8_t> memory_;
  // A part's bucket job belongs to the stage that holds the part.
  BucketJob jobs_[kMaxParts];

  // Guarded by stage1Mutex_: the producer's part, the parts in use by any stage, stage 1's queue.
  uint64_t fill_ = 0;
  int current_ = 0;
  uint64_t handed_[kMaxParts] = {};
  bool partBusy_[kMaxParts] = {};
  PartQueue stage1Queue_;
  bool stage1Busy_ = false;
  std::mutex stage1Mutex_;
  std::condition_variable stage1Cv_;

  PartQueue stage2Queue_;
  bool stage2Busy_ = false;
  std::mutex stage2Mutex_;
  std::condition_variable stage2Cv_;

  PartQueue stage3Queue_;
  bool stage3Busy_ = false;
  std::mutex stage3Mutex_;
  std::condition_variable stage3Cv_;

  ThreadPool::Handle markPool_;
  ThreadPool::Handle rankPool_;
  bool stop_ = false;  // written under all three stage mutexes
  std::mutex failureMutex_;
  std::exception_ptr failure_;
  std::thread stage1_;
  std::thread stage2_;
  std::thread stage3_;
};

// Replaces the first (x) or second (y) position of each pair by its rank among the bitmap's set
// bits, counting them as `how` says. Fastest when the positions ascend.
void RankPairPositions(const EntryBitmap& bitmap, FinalizePipeline::Pair* pairs, uint64_t count,
                       bool second, BitCount how);

// The line point of two positions: hi(hi - 1)/2 + lo, without overflow.
inline uint64_t PairLinePoint(uint64_t a, uint64_t b) {
  const uint64_t hi = a > b ? a : b;
  const uint64_t lo = a > b ? b : a;
  if (hi == 0) return 0;
  const uint64_t x = (hi / 2) * (hi - 1);
  const uint64_t z = ((hi - 1) / 2) * hi;
  return (x > z ? x : z) + lo;
}
