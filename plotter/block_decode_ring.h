#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

#include "plotter/finalize_pipeline.h"
#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"
#include "runtime/thread_pool.h"

// Works the blocks of one table pass on a pool of its own while a reading thread of the run reads
// the blocks ahead and the pass's thread takes the worked ones in block order, so reading, work
// and takes overlap. Each block in flight has a slot: its bytes, room for the decoded values and
// for the pairs made of them. A slot belongs to the reading thread until its block is read, then
// to the block's worker, then to the taking thread until it is taken.
//
// One Run at a time, from one thread.
class BlockDecodeRing {
 public:
  using Pair = FinalizePipeline::Pair;
  static constexpr uint64_t kBlockBytes = 65536;
  static constexpr uint64_t kValues = 65536;  // a park's most values
  // Decoding is a small share of a pass: more workers than this would only take memory.
  static constexpr uint64_t kMaxWorkers = 16;
  // What each worker adds to the ring. The job's memory rule and the client's request count on
  // this figure, so it stays fixed; the slots are as many as fit in it.
  static constexpr uint64_t kWorkerBytes =
      2 * (kBlockBytes + 2 * kValues * sizeof(uint64_t) + sizeof(uint64_t));
  static constexpr uint64_t kSlotBytes =
      kBlockBytes + kValues * sizeof(uint64_t) + sizeof(uint64_t);
  static constexpr uint64_t kMaxSlots = kMaxWorkers * kWorkerBytes / kSlotBytes;
  // Blocks one Run takes at most ("5E0C7A31" beyond): block numbers share a 32-bit word with the
  // slot's state.
  static constexpr uint64_t kMaxBlocks = uint64_t{1} << 28;

  struct Slot {
    uint8_t* bytes;
    uint64_t* values;
    // The room of `values`: pair n overwrites value n, so a pass may write pair n once it has
    // read every value from n on that it still needs.
    Pair* pairs;
    uint64_t count;  // what Work left in values or pairs
  };
  // Fills the slot's bytes with the next block; runs on the run's reading thread in block order.
  using Read = std::function<void(Slot&)>;
  // Works one slot on a worker, several at a time, each on its own slot.
  using Work = std::function<void(Slot&)>;
  // Takes a worked slot on the calling thread in block order; true ends the run.
  using Take = std::function<bool(const Slot&)>;

  // Bytes the ring takes from its arena for `threadCount` workers (at most kMaxWorkers).
  static uint64_t Memory(uint64_t threadCount);
  // Blocks in flight at once for `threadCount` workers.
  static uint64_t SlotCount(uint64_t threadCount);

  BlockDecodeRing(MemoryArena& arena, uint64_t threadCount);
  ~BlockDecodeRing();
  BlockDecodeRing(const BlockDecodeRing&) = delete;
  BlockDecodeRing& operator=(const BlockDecodeRing&) = delete;

  // Reads, works and takes blocks 0 .. blocks - 1; true when Take ended the run. A failure of Read
  // or Work is rethrown when its block's turn to be taken comes, so what happens first is what a
  // walk over the blocks one by one would do. No worker touches a slot after the return.
  bool Run(uint64_t blocks, const Read& read, const Work& work, const Take& take);

 private:
  // A slot's stage is 4 * block + state and only grows: free for block b, b read, b worked, free
  // for block b + slots. Cancelling sets the top bit, which wakes and stops every waiter.
  static constexpr uint32_t kFree = 0;
  static constexpr uint32_t kRead = 1;
  static constexpr uint32_t kWorked = 2;
  static constexpr uint32_t kCancelled = uint32_t{1} << 31;
  static uint32_t Stage(uint64_t block, uint32_t state) {
    return static_cast<uint32_t>(4 * block + state);
  }

  Slot SlotAt(uint64_t index) const;
  // Waits until the slot's stage reaches `stage`; false when the run was cancelled first.
  bool WaitFor(uint64_t index, uint32_t stage);
  void Advance(uint64_t index, uint32_t stage);
  void ReadBlocks(uint64_t blocks, const Read& read);
  void WorkPart(uint64_t block, const Work& work);
  // Keeps the failure of the lowest block.
  void Fail(uint64_t block, std::exception_ptr failure);

  uint64_t slotCount_;
  ArenaBuffer<uint8_t> bytes_;
  ArenaBuffer<uint64_t> values_;
  ArenaBuffer<uint64_t> counts_;
  std::atomic<uint32_t> stages_[kMaxSlots];
  ThreadPool::Handle pool_;

  // The block that failed to read, if any: no later block is read.
  std::atomic<uint64_t> readFailedAt_{~uint64_t{0}};
  std::atomic<bool> failed_{false};
  // Guards the failure.
  std::mutex mutex_;
  uint64_t failedBlock_ = ~uint64_t{0};
  std::exception_ptr failure_;
};
