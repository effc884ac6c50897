#include "plotter/block_decode_ring.h"

#include <utility>

namespace {

uint64_t Workers(uint64_t threadCount) {
  return threadCount < BlockDecodeRing::kMaxWorkers ? threadCount : BlockDecodeRing::kMaxWorkers;
}

}  // namespace

uint64_t BlockDecodeRing::Memory(uint64_t threadCount) {
  const uint64_t workers = Workers(threadCount);
  const uint64_t slotBytes =
      kBlockBytes + kValues * sizeof(uint64_t) + kValues * sizeof(Pair) + sizeof(SlotRecord);
  const uint64_t poolBytes =
      sizeof(ThreadPool) +
      workers * (sizeof(std::thread) + sizeof(ArenaCondition) + sizeof(std::condition_variable));
  return workers * kSlotsPerWorker * slotBytes + poolBytes;
}

BlockDecodeRing::BlockDecodeRing(MemoryArena& arena, uint64_t threadCount)
    : slotCount_(Workers(threadCount) * kSlotsPerWorker) {
  bytes_.Allocate(arena, slotCount_ * kBlockBytes, 4096);
  values_.Allocate(arena, slotCount_ * kValues, 64);
  pairs_.Allocate(arena, slotCount_ * kValues, 64);
  records_.Allocate(arena, slotCount_);
  pool_ = ThreadPool::Create(arena, Workers(threadCount), nullptr, -1);
}

BlockDecodeRing::~BlockDecodeRing() {
  if (pool_) ThreadPool::Stop(pool_);
}

BlockDecodeRing::Slot BlockDecodeRing::SlotAt(uint64_t index) const {
  return Slot{bytes_.Data() + index * kBlockBytes, values_.Data() + index * kValues,
              pairs_.Data() + index * kValues, records_[index].count};
}

void BlockDecodeRing::Fail(uint64_t block, std::exception_ptr failure) {
  if (block < failedBlock_) {
    failedBlock_ = block;
    failure_ = std::move(failure);
  }
}

// Part p works block p once the reading thread has put it in its slot. Parts are handed out in
// increasing order, so every block below p is worked or under way.
void BlockDecodeRing::WorkPart(uint64_t block, const Work& work) {
  const uint64_t index = block % slotCount_;
  SlotRecord& record = records_[index];
  {
    std::unique_lock<std::mutex> lock(mutex_);
    readCv_.wait(lock, [&] { return cancel_ || (record.block == block && record.state == kRead); });
    if (cancel_) return;
  }
  Slot slot = SlotAt(index);
  slot.count = 0;
  std::exception_ptr failure;
  try {
    work(slot);
  } catch (...) {
    failure = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure) Fail(block, std::move(failure));
    record.count = slot.count;
    record.state = kWorked;
  }
  workedCv_.notify_all();
}

bool BlockDecodeRing::Run(uint64_t blocks, const Read& read, const Work& work, const Take& take) {
  if (blocks == 0) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint64_t i = 0; i < slotCount_; ++i) records_[i] = SlotRecord{~uint64_t{0}, 0, kFree};
    cancel_ = false;
    failedBlock_ = ~uint64_t{0};
    failure_ = nullptr;
  }
  pool_->Post([this, &work](uint64_t, uint64_t block) { WorkPart(block, work); }, blocks);
  bool ended = false;
  std::exception_ptr failure;
  try {
    // Reading stops at a block that failed to read: its failure stands for everything after it.
    uint64_t readLimit = blocks;
    uint64_t next = 0;
    for (uint64_t block = 0; block < blocks && !ended; ++block) {
      const uint64_t index = block % slotCount_;
      for (;;) {
        {
          std::unique_lock<std::mutex> lock(mutex_);
          if (records_[index].block == block && records_[index].state == kWorked) break;
          // Waits only when no slot is free or nothing is left to read.
          if (next >= readLimit || next >= block + slotCount_) {
            workedCv_.wait(lock, [&] {
              return records_[index].block == block && records_[index].state == kWorked;
            });
            break;
          }
        }
        // The slot of `next` held block next - slotCount_, which is already taken.
        const uint64_t at = next % slotCount_;
        Slot slot = SlotAt(at);
        std::exception_ptr readFailure;
        try {
          read(slot);
        } catch (...) {
          readFailure = std::current_exception();
        }
        {
          std::lock_guard<std::mutex> lock(mutex_);
          records_[at].block = next;
          if (readFailure) {
            // Its part never finds the block read; the taking thread finds it failed.
            Fail(next, std::move(readFailure));
            records_[at].state = kWorked;
            readLimit = next + 1;
          } else {
            records_[at].state = kRead;
          }
        }
        readCv_.notify_all();
        ++next;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failedBlock_ == block) std::rethrow_exception(failure_);
        records_[index].state = kFree;
      }
      ended = take(SlotAt(index));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancel_ = true;
  }
  readCv_.notify_all();
  pool_->Wait();
  if (failure) std::rethrow_exception(failure);
  return ended;
}
