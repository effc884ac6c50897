// The stream itself: its blocks, its failures, and what producers and consumers call.
#include "runtime/multi_file_stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "runtime/multi_file_stream_detail.h"

using namespace multi_file_stream_detail;

namespace {

// Room for this many entries of the widest entry (28 bytes) in one bucket.
constexpr uint64_t kLargestBucketEntries = 35231920;
constexpr uint64_t kWidestEntry = 28;

// A code of our own for a damaged temp file: a bucket that can never deliver what is asked of it.
constexpr const char* kNothingLeftError = "invalid temp file: 3C9E5A17";

}  // namespace

MultiFileStream::MultiFileStream(uint64_t blockCount, uint64_t blockSize, MemoryArena* arena,
                                 const PauseMask* pauseMask)
    : blockCount_(blockCount), blockSize_(blockSize), arena_(arena), pauseMask_(pauseMask) {
  if (blockCount < 1024) throw std::runtime_error("CA6B9D39");
  if (blockSize == 0 || blockSize % kIoUnit != 0) throw std::runtime_error("9F9876D2");

  blocks_.Allocate(*arena_, blockCount_);
  for (uint64_t i = 0; i < blockCount_; ++i) {
    void* data = arena_->Allocate(blockSize_, kIoUnit);
    if (data == nullptr) {
      for (uint64_t j = 0; j < i; ++j) arena_->Deallocate(blocks_[j].data);
      throw std::runtime_error("failed to allocate memory: 155633EE");
    }
    blocks_[i] = Block{static_cast<uint8_t*>(data), 0, 0, nullptr};
  }
  for (uint64_t i = blockCount_; i-- > 0;) {
    blocks_[i].next = freeList_;
    freeList_ = &blocks_[i];
  }
  freeCount_ = blockCount_;
  lowWater_ = blockCount_;

  maxBlocksPerBucket_ = kLargestBucketEntries / (blockSize_ / kWidestEntry) + 1;
  if (maxBlocksPerBucket_ + 832 > blockCount_) {
    maxBlocksPerBucket_ = blockCount_ - 832;
    bucketShare_ = minRun_ = 4;
  } else {
    bucketShare_ = (blockCount_ - 320 - maxBlocksPerBucket_) / kBuckets;
    minRun_ = std::min<uint64_t>(bucketShare_, 64);
  }

  try {
    requestLists_.Allocate(*arena_, kMaxFiles * 2 * maxBlocksPerBucket_);
    zeroBlock_ = static_cast<uint8_t*>(arena_->Allocate(kZeroBlockSize, kIoUnit));
    if (zeroBlock_ == nullptr) throw std::runtime_error("failed to allocate memory: 72F8F5E5");
  } catch (...) {
    for (uint64_t i = 0; i < blockCount_; ++i) arena_->Deallocate(blocks_[i].data);
    throw;
  }
  std::memset(zeroBlock_, 0, kZeroBlockSize);
}

MultiFileStream::~MultiFileStream() {
  // Unwinding past a running stream must not end the process: stop the threads first.
  stop_ = true;
  for (auto& thread : readThreads_) thread.join();
  for (auto& thread : writeThreads_) thread.join();
  for (uint64_t i = 0; i < blockCount_; ++i) arena_->Deallocate(blocks_[i].data);
  arena_->Deallocate(zeroBlock_);
}

bool MultiFileStream::IsIdle() {
  std::lock_guard lock(control_);
  return idle_;
}

void MultiFileStream::CheckFileCount(uint64_t fileCount) const {
  if (fileCount == 0 || fileCount > kMaxFiles) throw std::runtime_error("D0A4C3E9");
}

// ---- block pool ----

MultiFileStream::Block* MultiFileStream::PopFreeBlock() {
  std::lock_guard lock(poolMutex_);
  Block* block = freeList_;
  if (block == nullptr) return nullptr;
  freeList_ = block->next;
  block->count = 0;
  block->users = 0;
  block->next = nullptr;
  const uint64_t free = freeCount_.fetch_sub(1) - 1;
  if (free < lowWater_.load()) lowWater_ = free;
  return block;
}

MultiFileStream::Block* MultiFileStream::TakeFreeBlock() {
  for (;;) {
    if (Block* block = PopFreeBlock()) return block;
    RethrowFailure();
    SleepOneMs();
  }
}

MultiFileStream::Block* MultiFileStream::TakeFreeBlockUnlessHeld(int kind) {
  for (;;) {
    if (Block* block = PopFreeBlock()) return block;
    if (stop_ || pause_[kind]) return nullptr;
    SleepOneMs();
  }
}

void MultiFileStream::ReturnBlock(Block* block) {
  std::lock_guard lock(poolMutex_);
  block->next = freeList_;
  freeList_ = block;
  freeCount_.fetch_add(1);
}

void MultiFileStream::PushQueue(BucketState& state, Block* block) {
  block->next = nullptr;
  if (state.queueTail == nullptr) {
    state.queueHead = block;
  } else {
    state.queueTail->next = block;
  }
  state.queueTail = block;
  ++state.queued;
}

MultiFileStream::Block* MultiFileStream::PopQueue(BucketState& state) {
  Block* block = state.queueHead;
  if (block == nullptr) return nullptr;
  state.queueHead = block->next;
  if (state.queueHead == nullptr) state.queueTail = nullptr;
  block->next = nullptr;
  --state.queued;
  return block;
}

// ---- failures ----

void MultiFileStream::StoreFailure(std::exception_ptr failure) {
  std::lock_guard lock(control_);
  failure_ = std::move(failure);
  failed_ = true;
}

void MultiFileStream::RethrowFailure() {
  if (!failed_) return;
  std::exception_ptr failure;
  {
    std::lock_guard lock(control_);
    failure = failure_;
  }
  if (failure) std::rethrow_exception(failure);
}

// ---- producers and consumers ----

void MultiFileStream::Append(uint64_t bucket, const void* entries, uint64_t count) {
  if (count == 0) return;
  RethrowFailure();
  if (bucket >= kBuckets) throw std::runtime_error("4C6B1E92");
  const uint8_t* source = static_cast<const uint8_t*>(entries);
  const uint64_t width = entrySize_[writeSide_];
  const uint64_t perBlock = entriesPerBlock_[writeSide_];
  // Without a write width no block can take an entry; refuse rather than spin on an empty block.
  if (perBlock == 0) throw std::runtime_error("E1A5F04C");
  BucketState& state = Bucket(writeSide_, bucket);
  std::unique_lock lock(state.mutex);
  while (count > 0) {
    // Other producers spend the same budget while the lock is down, so clip on every round.
    if (count > budget_[bucket]) {
      dropped_.fetch_add(count - budget_[bucket]);
      count = budget_[bucket];
      if (count == 0) return;
    }
    if (state.current == nullptr) {
      if (state.fetching) {
        lock.unlock();
        SleepOneMs();
        lock.lock();
        continue;
      }
      state.fetching = true;
      lock.unlock();
      Block* block;
      try {
        block = TakeFreeBlock();
      } catch (...) {
        lock.lock();
        state.fetching = false;
        throw;
      }
      lock.lock();
      state.current = block;
      state.fetching = false;
      continue;
    }
    Block* block = state.current;
    const uint64_t take = std::min(count, perBlock - block->count);
    const uint64_t at = block->count;
    block->count += take;
    budget_[bucket] -= take;
    ++block->users;
    if (block->count == perBlock) state.current = nullptr;
    lock.unlock();
    std::memcpy(block->data + at * width, source, take * width);
    lock.lock();
    if (--block->users == 0 && block->count == perBlock) {
      PushQueue(state, block);
      queuedTotal_.fetch_add(1);
    }
    source += take * width;
    count -= take;
  }
}

void MultiFileStream::TakeEntries(void* out, uint64_t count) {
  if (count == 0) return;
  uint8_t* target = static_cast<uint8_t*>(out);
  const uint64_t side = readSide_;
  const uint64_t width = entrySize_[side];
  const uint64_t perBlock = entriesPerBlock_[side];
  const uint64_t bucket = readBucket_.load();
  if (bucket >= kBuckets) throw std::runtime_error("4C6B1E92");
  BucketState& state = Bucket(side, bucket);
  while (count > 0) {
    RethrowFailure();
    std::unique_lock lock(state.mutex);
    if (state.current == nullptr) state.current = PopQueue(state);
    if (state.current == nullptr) {
      bool more = state.inFlight > 0;
      for (uint64_t f = 0; f < files_.size() && !more; ++f) {
        more = perBlock != 0 && fileEntries_[f][side][bucket] >= perBlock;
      }
      if (!more) throw std::runtime_error(kNothingLeftError);
      lock.unlock();
      SleepOneMs();
      continue;
    }
    Block* block = state.current;
    const uint64_t take = std::min(count, block->count);
    block->count -= take;
    const uint64_t at = block->count;
    ++block->users;
    if (block->count == 0) state.current = nullptr;
    lock.unlock();
    std::memcpy(target, block->data + at * width, take * width);
    lock.lock();
    if (--block->users == 0 && block->count == 0) ReturnBlock(block);
    target += take * width;
    count -= take;
  }
}
