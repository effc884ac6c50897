#include "plotter/block_decode_ring.h"

#include <stdexcept>
#include <thread>
#include <utility>

namespace {

uint64_t Workers(uint64_t threadCount) {
  return threadCount < BlockDecodeRing::kMaxWorkers ? threadCount : BlockDecodeRing::kMaxWorkers;
}

}  // namespace

static_assert(sizeof(BlockDecodeRing::Pair) == sizeof(uint64_t) &&
              alignof(BlockDecodeRing::Pair) <= alignof(uint64_t));

uint64_t BlockDecodeRing::Memory(uint64_t threadCount) {
  const uint64_t workers = Workers(threadCount);
  const uint64_t poolBytes =
      sizeof(ThreadPool) +
      workers * (sizeof(std::thread) + sizeof(ArenaCondition) + sizeof(std::condition_variable));
  return workers * kWorkerBytes + poolBytes;
}

uint64_t BlockDecodeRing::SlotCount(uint64_t threadCount) {
  return Workers(threadCount) * kWorkerBytes / kSlotBytes;
}

BlockDecodeRing::BlockDecodeRing(MemoryArena& arena, uint64_t threadCount)
    : slotCount_(SlotCount(threadCount)) {
  bytes_.Allocate(arena, slotCount_ * kBlockBytes, 4096);
  values_.Allocate(arena, slotCount_ * kValues, 64);
  counts_.Allocate(arena, slotCount_);
  pool_ = ThreadPool::Create(arena, Workers(threadCount), nullptr, -1);
}

BlockDecodeRing::~BlockDecodeRing() {
  if (pool_) ThreadPool::Stop(pool_);
}

BlockDecodeRing::Slot BlockDecodeRing::SlotAt(uint64_t index) const {
  uint64_t* values = values_.Data() + index * kValues;
  return Slot{bytes_.Data() + index * kBlockBytes, values, reinterpret_cast<Pair*>(values),
              counts_[index]};
}

void BlockDecodeRing::Fail(uint64_t block, std::exception_ptr failure) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (block < failedBlock_) {
    failedBlock_ = block;
    failure_ = std::move(failure);
  }
  failed_.store(true, std::memory_order_release);
}

bool BlockDecodeRing::WaitFor(uint64_t index, uint32_t stage) {
  std::atomic<uint32_t>& at = stages_[index];
  for (;;) {
    const uint32_t seen = at.load(std::memory_order_acquire);
    if ((seen & kCancelled) != 0) return false;
    if (seen >= stage) return true;
    at.wait(seen, std::memory_order_acquire);
  }
}

void BlockDecodeRing::Advance(uint64_t index, uint32_t stage) {
  // A run cancelled meanwhile stays cancelled.
  uint32_t seen = stages_[index].load(std::memory_order_relaxed);
  while ((seen & kCancelled) == 0 &&
         !stages_[index].compare_exchange_weak(seen, stage, std::memory_order_release,
                                               std::memory_order_relaxed)) {
  }
  stages_[index].notify_all();
}

void BlockDecodeRing::ReadBlocks(uint64_t blocks, const Read& read) {
  for (uint64_t block = 0; block < blocks; ++block) {
    const uint64_t index = block % slotCount_;
    if (!WaitFor(index, Stage(block, kFree))) return;
    Slot slot = SlotAt(index);
    try {
      read(slot);
    } catch (...) {
      // Its worker hands the block on unworked; the taking thread finds it failed.
      Fail(block, std::current_exception());
      readFailedAt_.store(block, std::memory_order_release);
      Advance(index, Stage(block, kRead));
      return;
    }
    Advance(index, Stage(block, kRead));
  }
}

// Part p works block p once it is read.
void BlockDecodeRing::WorkPart(uint64_t block, const Work& work) {
  const uint64_t index = block % slotCount_;
  if (!WaitFor(index, Stage(block, kRead))) return;
  if (block < readFailedAt_.load(std::memory_order_acquire)) {
    Slot slot = SlotAt(index);
    slot.count = 0;
    try {
      work(slot);
    } catch (...) {
      Fail(block, std::current_exception());
    }
    counts_[index] = slot.count;
  }
  Advance(index, Stage(block, kWorked));
}

bool BlockDecodeRing::Run(uint64_t blocks, const Read& read, const Work& work, const Take& take) {
  if (blocks == 0) return false;
  if (blocks > kMaxBlocks) throw std::invalid_argument("5E0C7A31");
  for (uint64_t i = 0; i < slotCount_; ++i) stages_[i].store(Stage(i, kFree));
  readFailedAt_.store(~uint64_t{0});
  failed_.store(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failedBlock_ = ~uint64_t{0};
    failure_ = nullptr;
  }
  pool_->Post([this, &work](uint64_t, uint64_t block) { WorkPart(block, work); }, blocks);
  bool ended = false;
  std::exception_ptr failure;
  std::jthread reader;
  try {
    reader = std::jthread([this, blocks, &read] { ReadBlocks(blocks, read); });
    for (uint64_t block = 0; block < blocks && !ended; ++block) {
      const uint64_t index = block % slotCount_;
      WaitFor(index, Stage(block, kWorked));
      if (failed_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failedBlock_ == block) std::rethrow_exception(failure_);
      }
      ended = take(SlotAt(index));
      Advance(index, Stage(block + slotCount_, kFree));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  for (uint64_t i = 0; i < slotCount_; ++i) {
    stages_[i].fetch_or(kCancelled, std::memory_order_release);
    stages_[i].notify_all();
  }
  if (reader.joinable()) reader.join();
  pool_->Wait();
  if (failure) std::rethrow_exception(failure);
  return ended;
}
