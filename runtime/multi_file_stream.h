#pragma once

#include <sys/uio.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/arena_buffer.h"
#include "runtime/bucket_sink.h"
#include "runtime/direct_file.h"
#include "runtime/memory_arena.h"

// Mining activity published by the client core: while bit f is set, the threads of temp file f
// hold back their disk transfers.
using PauseMask = std::atomic<uint64_t>;

// Where one bucket of one side lives: the same byte range in every temp file.
struct BucketRegion {
  uint64_t baseOffset = 0;       // in every file, a multiple of the block size
  uint64_t capacityBlocks = 0;   // blocks per file
  uint64_t capacityEntries = 0;  // entries over all files together
};

// Two sides of 128 buckets of fixed-width entries, spread over 1..16 temp files through a pool of
// equal blocks. In a step one side is written (Append, from any thread) while the other is drained
// one bucket at a time (TakeEntries); each file has a write-behind and a read-ahead thread. Buckets
// are drained from their end, like stacks, so a partly drained bucket can be flushed back and its
// file counts stay a plain prefix of each region.
class MultiFileStream final : public BucketSink {
 public:
  static constexpr uint64_t kBuckets = 128;
  static constexpr uint64_t kMaxFiles = 16;
  static constexpr uint64_t kCountTableEntries = 2 * kBuckets;  // side 0 then side 1, u32 each

  struct Block {
    uint8_t* data;
    uint64_t count;  // entries held
    uint64_t users;  // producers or consumers copying outside the bucket lock
    Block* next;
  };

  // Raises "CA6B9D39" below 1024 blocks, "9F9876D2" for a block size that is not a positive
  // multiple of 4096, "failed to allocate memory: 155633EE" / ": 72F8F5E5" when the blocks or
  // the zero block cannot be had.
  MultiFileStream(uint64_t blockCount, uint64_t blockSize, MemoryArena* arena,
                  const PauseMask* pauseMask);
  // Stops threads that still run.
  ~MultiFileStream();
  MultiFileStream(const MultiFileStream&) = delete;
  MultiFileStream& operator=(const MultiFileStream&) = delete;

  // Grows every file to `targetSize` (rounded up to 4096) with zeros and cuts longer ones to it.
  // `progress` (may be empty) sees the fraction done every millisecond; false stops the growth.
  void Begin(DirectFile** files, uint64_t fileCount, uint64_t targetSize,
             const std::function<bool(double)>& progress);

  // Starts a step. `storedCounts[f]` is file f's table of kCountTableEntries counts; an entry size
  // of 0 leaves that side unused. `regions0`/`regions1` hold 128 records each.
  void Feed(DirectFile** files, uint64_t fileCount, const uint32_t* const* storedCounts,
            uint64_t countTables, uint64_t writeSide, uint64_t readEntrySize,
            uint64_t writeEntrySize, const BucketRegion* regions0, const BucketRegion* regions1,
            uint64_t startBucket);

  // Stores write-side entries of `bucket`; entries beyond the bucket's budget are dropped and
  // counted (see TakeDroppedEntries). Raises "E1A5F04C" when the step writes nothing.
  void Append(uint64_t bucket, const void* entries, uint64_t count) override;

  // Copies `count` read-side entries of the current read bucket to `out`; waits for read-ahead.
  void TakeEntries(void* out, uint64_t count);

  // Writes everything held in memory to the files, stops the threads and fills each file's count
  // table (`countTables[f]`, kCountTableEntries u32). `progress` may be empty.
  void Flush(uint32_t** countTables, uint64_t fileCount,
             const std::function<void(double)>& progress);

  // Moves a running stream on to the next step without writing out or discarding what memory
  // holds; no Append or TakeEntries may be under way. The threads stop, the sides, entry sizes
  // and regions change (the files stay), no bucket is being read (ReadBucket() == kBuckets) and
  // the threads start again. The blocks the finished step wrote
  // stay in their buckets as the new read side. Raises "5B7E0C2D" when the stream is not running,
  // a stored failure, "3F8D2E61" when the new write side still holds entries and "C0F3A8B6" when
  // a side that holds entries would change its entry size; after those two the stream runs on
  // unchanged.
  void HandOver(uint64_t writeSide, uint64_t readEntrySize, uint64_t writeEntrySize,
                const BucketRegion* regions0, const BucketRegion* regions1);

  void StartThreads();
  // Resets a running or failed stream to idle, discarding what memory holds. Raises "997ED9D5"
  // when blocks are then missing from the pool.
  void StopThreads();

  Block* TakeFreeBlock();
  void ReturnBlock(Block* block);

  // The bucket TakeEntries drains; 128 means none.
  uint64_t ReadBucket() const { return readBucket_.load(); }
  void SetReadBucket(uint64_t bucket);
  // Entries the stream holds for (side, bucket): in the files, in flight and in memory.
  uint64_t HeldEntries(uint64_t side, uint64_t bucket);
  // Entries Append dropped over budget since the last call.
  uint64_t TakeDroppedEntries() { return dropped_.exchange(0); }

  uint64_t BlockCount() const { return blockCount_; }
  uint64_t BlockSize() const { return blockSize_; }
  uint64_t FreeBlocks() const { return freeCount_.load(); }
  uint64_t LowWaterMark() const { return lowWater_.load(); }
  uint64_t MaxBlocksPerBucket() const { return maxBlocksPerBucket_; }
  uint64_t BucketShare() const { return bucketShare_; }
  uint64_t MinRun() const { return minRun_; }
  uint64_t PressureFloor() const { return pressureFloor_; }
  bool IsIdle();

 private:
  enum ThreadKind { kWriteBehind = 0, kReadAhead = 1 };

  struct BucketState {
    std::mutex mutex;
    Block* current = nullptr;
    Block* queueHead = nullptr;
    Block* queueTail = nullptr;
    uint64_t queued = 0;
    uint64_t inFlight = 0;
    uint64_t spilling = 0;  // read-side runs on their way back to the files
    bool fetching = false;
  };

  BucketState& Bucket(uint64_t side, uint64_t bucket) { return buckets_[side * kBuckets + bucket]; }
  static void PushQueue(BucketState& state, Block* block);
  static Block* PopQueue(BucketState& state);

  Block* PopFreeBlock();
  // Null when `stop_` or the pause of `kind` is raised while waiting for a block.
  Block* TakeFreeBlockUnlessHeld(int kind);
  // Waits while the file's mask bit is set. False when `stop_` is raised meanwhile, or, for the
  // read-ahead, its pause (a read can be given up; a taken write run cannot).
  bool WaitWhilePaused(uint64_t file, int kind);
  void StoreFailure(std::exception_ptr failure);
  void RethrowFailure();
  void CheckFileCount(uint64_t fileCount) const;
  void CheckStepShape(uint64_t writeSide, uint64_t readEntrySize, uint64_t writeEntrySize) const;
  void SetSides(uint64_t writeSide, uint64_t readEntrySize, uint64_t writeEntrySize,
                const BucketRegion* regions0, const BucketRegion* regions1);
  void SetBudgets();
  void SetPressureFloor();
  bool SideHoldsEntries(uint64_t side);

  void ThreadLoop(uint64_t file, ThreadKind kind);
  void FileIoThread(uint64_t file);
  void QueueThread(uint64_t file);
  bool GrowFile(uint64_t file);
  bool MoveBlocks(uint64_t file, uint64_t side, bool flushMode);
  // True when so few blocks are free that the producers may soon wait for one.
  bool ShortOfBlocks() const;
  void PutBackRun(uint64_t file, uint64_t side, uint64_t bucket, Block* const* blocks,
                  uint64_t count, bool flushMode);
  bool ReadAhead(uint64_t file);

  void JoinThreads();
  void DiscardBlocks();
  void LoadPartialBlocks();

  // Configuration.
  const uint64_t blockCount_;
  const uint64_t blockSize_;
  MemoryArena* const arena_;
  const PauseMask* const pauseMask_;
  uint64_t maxBlocksPerBucket_ = 0;
  uint64_t bucketShare_ = 0;
  uint64_t minRun_ = 0;
  ArenaBuffer<Block> blocks_;
  uint8_t* zeroBlock_ = nullptr;
  ArenaBuffer<iovec> requestLists_;  // per file: write-behind list, then read-ahead list

  // Step.
  std::vector<DirectFile*> files_;
  uint64_t writeSide_ = 0;
  uint64_t readSide_ = 1;
  std::array<uint64_t, 2> entrySize_{};
  std::array<uint64_t, 2> entriesPerBlock_{};
  std::array<std::array<BucketRegion, kBuckets>, 2> regions_{};
  std::array<uint64_t, kBuckets> budget_{};
  std::array<uint64_t, kBuckets> writeAllowance_{};
  uint64_t pressureFloor_ = 0;
  std::atomic<uint64_t> readBucket_{kBuckets};
  // Guarded by the bucket mutex of (side, bucket).
  std::array<std::array<std::array<uint64_t, kBuckets>, 2>, kMaxFiles> fileEntries_{};
  std::array<uint64_t, kMaxFiles> lastWritten_{};

  std::array<BucketState, 2 * kBuckets> buckets_;

  // Block pool.
  std::mutex poolMutex_;
  Block* freeList_ = nullptr;
  std::atomic<uint64_t> freeCount_{0};
  std::atomic<uint64_t> lowWater_{0};
  std::atomic<uint64_t> queuedTotal_{0};   // write-side blocks waiting to be written
  std::atomic<uint64_t> written_{0};       // blocks written while flushing
  std::atomic<uint64_t> runsInFlight_{0};  // write-behind runs taken but not yet written
  std::atomic<uint64_t> dropped_{0};

  // Control.
  std::mutex control_;
  std::atomic<bool> stop_{false};
  bool idle_ = true;
  std::array<std::atomic<bool>, 2> pause_{};  // set under `control_`, polled without it
  std::array<uint64_t, 2> paused_{};
  std::atomic<bool> allocating_{false};
  std::atomic<uint64_t> targetSize_{0};
  std::array<std::atomic<uint64_t>, kMaxFiles> filePos_{};
  bool flushMode_ = false;
  std::atomic<bool> failed_{false};
  std::exception_ptr failure_;

  std::vector<std::thread> readThreads_;
  std::vector<std::thread> writeThreads_;
};
