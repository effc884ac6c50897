#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

#include "plotter/finalize_pipeline.h"
#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"
#include "runtime/thread_pool.h"

// Works the blocks of one table pass on a pool of its own while the pass's thread reads the blocks
// ahead and takes the worked ones in block order. Each block in flight has a slot: its bytes, room
// for the decoded values and for the pairs made of them. A slot belongs to the reading thread
// until its block is handed to a worker, then to that worker, then to the taking thread.
//
// One Run at a time, from one thread.
class BlockDecodeRing {
 public:
  using Pair = FinalizePipeline::Pair;
  static constexpr uint64_t kBlockBytes = 65536;
  static constexpr uint64_t kValues = 65536;  // a park's most values
  static constexpr uint64_t kSlotsPerWorker = 2;
  // Decoding is a small share of a pass: more workers than this would only take memory.
  static constexpr uint64_t kMaxWorkers = 16;

  struct Slot {
    uint8_t* bytes;
    uint64_t* values;
    Pair* pairs;
    uint64_t count;  // what Work left in values or pairs
  };
  // Fills the slot's bytes with the next block; runs on the calling thread in block order.
  using Read = std::function<void(Slot&)>;
  // Works one slot on a worker, several at a time, each on its own slot.
  using Work = std::function<void(Slot&)>;
  // Takes a worked slot on the calling thread in block order; true ends the run.
  using Take = std::function<bool(const Slot&)>;

  // Bytes the ring takes from its arena for `threadCount` workers (at most kMaxWorkers).
  static uint64_t Memory(uint64_t threadCount);

  BlockDecodeRing(MemoryArena& arena, uint64_t threadCount);
  ~BlockDecodeRing();
  BlockDecodeRing(const BlockDecodeRing&) = delete;
  BlockDecodeRing& operator=(const BlockDecodeRing&) = delete;

  // Reads, works and takes blocks 0 .. blocks - 1; true when Take ended the run. A failure of Read
  // or Work is rethrown when its block's turn to be taken comes, so what happens first is what a
  // walk over the blocks one by one would do. No worker touches a slot after the return.
  bool Run(uint64_t blocks, const Read& read, const Work& work, const Take& take);

 private:
  enum SlotState : uint8_t { kFree, kRead, kWorked };
  struct SlotRecord {
    uint64_t block;
    uint64_t count;
    SlotState state;
  };

  Slot SlotAt(uint64_t index) const;
  void WorkPart(uint64_t block, const Work& work);
  // Keeps the failure of the lowest block.
  void Fail(uint64_t block, std::exception_ptr failure);

  uint64_t slotCount_;
  ArenaBuffer<uint8_t> bytes_;
  ArenaBuffer<uint64_t> values_;
  ArenaBuffer<Pair> pairs_;
  ArenaBuffer<SlotRecord> records_;
  ThreadPool::Handle pool_;

  // Guards records_, cancel_ and the failure.
  std::mutex mutex_;
  std::condition_variable readCv_;    // a block was read, or the run ends
  std::condition_variable workedCv_;  // a block was worked
  bool cancel_ = false;
  uint64_t failedBlock_ = ~uint64_t{0};
  std::exception_ptr failure_;
};
