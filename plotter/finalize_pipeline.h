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
// pairs must come in (x, y) order, which the ranks keep ("28374BB7" within a half otherwise).
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
  // Rethrows a stored failure, then appends the pairs, handing over each full half.
  void RunTask(const Pair* pairs, uint64_t count);
  // Hands over what is buffered and waits for the three stages; rethrows a stored failure.
  void WaitAllStages();
  // Waits until every stage is idle, then forgets the pass: buffered pairs, consumer, target and
  // stored failure.
  void Reset();

  // Pairs one half holds in the current mode.
  uint64_t Capacity() const { return consumer_ ? units_ : 3 * units_; }

 private:
  struct BucketJob {
    Pair* pairs = nullptr;
    Pair* spare = nullptr;    // room for the next stage's bucketing copy
    Pair* scratch = nullptr;  // sort scratch
    uint64_t count = 0;
    uint64_t starts[kBuckets];
    uint64_t counts[kBuckets];
    int half = 0;
  };

  uint8_t* HalfBase(int half) const { return memory_.Data() + half * units_ * 24; }
  uint32_t* FirstValues(int half) const { return reinterpret_cast<uint32_t*>(HalfBase(half)); }
  uint32_t* SecondValues(int half) const { return FirstValues(half) + 3 * units_; }
  Pair* Pairs(int half) const { return reinterpret_cast<Pair*>(HalfBase(half)); }

  void WaitIdle();
  void StoreFailure(std::exception_ptr failure);
  void ReleaseHalf(int half);
  void RethrowFailure();
  // Waits until each stage in turn is seen not busy.
  void WaitStagesIdle();

  void MarkThread();
  void RankThread();
  void LinePointThread();
  void MarkHalf(int half, uint64_t count);
  void MarkSorted(const uint32_t* values, uint64_t count);
  // False when the pipeline stopped before stage 2 took the half.
  bool CompactHalf(int half, uint64_t count);
  void Shutdown();

  EntryBitmap* target_ = nullptr;
  Consumer consumer_;
  uint64_t units_;  // floor(memory / 48)
  ArenaBuffer<uint8_t> memory_;

  // Guarded by stage1Mutex_: the producer's hand-over and the halves in use by any stage.
  uint64_t fill_ = 0;
  int current_ = 0;
  uint64_t handed_ = 0;
  int handedHalf_ = 0;
  bool stage1Ready_ = false;
  bool stage1Busy_ = false;
  bool halfBusy_[2] = {false, false};
  std::mutex stage1Mutex_;
  std::condition_variable stage1Cv_;

  BucketJob stage2Slot_;
  bool stage2Ready_ = false;
  bool stage2Busy_ = false;
  std::mutex stage2Mutex_;
  std::condition_variable stage2Cv_;

  BucketJob stage3Slot_;
  bool stage3Ready_ = false;
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
