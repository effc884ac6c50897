#include "runtime/multi_file_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr uint64_t kIoUnit = 4096;
constexpr uint64_t kZeroBlockSize = 131072;
constexpr uint64_t kGrowthRound = 64ull << 20;
constexpr uint64_t kMaxGrowthPieces = 512;
constexpr uint64_t kMaxPiecesPerCall = 64;
// Room for this many entries of the widest entry (28 bytes) in one bucket.
constexpr uint64_t kLargestBucketEntries = 35231920;
constexpr uint64_t kWidestEntry = 28;

// Codes of our own for damaged temp files: a bucket that can never deliver what is asked of it,
// and a region that reads back shorter than its stored count says.
constexpr const char* kNothingLeftError = "invalid temp file: 3C9E5A17";
constexpr const char* kShortReadError = "invalid temp file: 7B41D2E8";

void SleepOneMs() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

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

// ---- lifecycle ----

void MultiFileStream::Begin(DirectFile** files, uint64_t fileCount, uint64_t targetSize,
                            const std::function<bool(double)>& progress) {
  {
    std::lock_guard lock(control_);
    if (!idle_ || !readThreads_.empty()) throw std::runtime_error("B495CDC4");
  }
  CheckFileCount(fileCount);
  const uint64_t target = RoundUp(targetSize, kIoUnit);
  files_.assign(files, files + fileCount);
  targetSize_ = target;
  allocating_ = true;
  try {
    for (uint64_t f = 0; f < fileCount; ++f) {
      const uint64_t size = static_cast<uint64_t>(files_[f]->GetSize());
      if (size > target) files_[f]->Truncate(static_cast<int64_t>(target));
      filePos_[f] = std::min(size, target) / kIoUnit * kIoUnit;
    }
  } catch (...) {
    allocating_ = false;
    files_.clear();
    throw;
  }
  auto finish = [&] {
    JoinThreads();
    allocating_ = false;
    files_.clear();
  };
  try {
    StartThreads();
    for (;;) {
      uint64_t done = targetSize_;
      for (uint64_t f = 0; f < fileCount; ++f) done = std::min(done, filePos_[f].load());
      const double fraction = target == 0 ? 1.0 : static_cast<double>(done) / target;
      if (progress && !progress(fraction)) {
        targetSize_ = 0;
        break;
      }
      if (done >= target || failed_) break;
      SleepOneMs();
    }
  } catch (...) {
    // A throwing progress callable must not leave the growth threads running.
    finish();
    throw;
  }
  finish();
  RethrowFailure();
}

void MultiFileStream::Feed(DirectFile** files, uint64_t fileCount,
                           const uint32_t* const* storedCounts, uint64_t countTables,
                           uint64_t writeSide, uint64_t readEntrySize, uint64_t writeEntrySize,
                           const BucketRegion* regions0, const BucketRegion* regions1,
                           uint64_t startBucket) {
  {
    std::lock_guard lock(control_);
    if (!idle_ || !readThreads_.empty()) throw std::runtime_error("A7DFF06B");
  }
  if (countTables != fileCount) throw std::runtime_error("6284948D");
  CheckFileCount(fileCount);
  CheckStepShape(writeSide, readEntrySize, writeEntrySize);
  if (startBucket > kBuckets) throw std::runtime_error("4C6B1E92");

  files_.assign(files, files + fileCount);
  readBucket_ = startBucket;
  SetSides(writeSide, readEntrySize, writeEntrySize, regions0, regions1);
  for (uint64_t f = 0; f < kMaxFiles; ++f) {
    for (uint64_t s = 0; s < 2; ++s) {
      for (uint64_t b = 0; b < kBuckets; ++b) {
        fileEntries_[f][s][b] = f < fileCount ? storedCounts[f][s * kBuckets + b] : 0;
      }
    }
  }
  try {
    SetBudgets();
    LoadPartialBlocks();
    SetPressureFloor();
    lowWater_ = freeCount_.load();
    queuedTotal_ = 0;
    dropped_ = 0;
    StartThreads();
  } catch (...) {
    DiscardBlocks();
    throw;
  }
  std::lock_guard lock(control_);
  idle_ = false;
}

void MultiFileStream::CheckStepShape(uint64_t writeSide, uint64_t readEntrySize,
                                     uint64_t writeEntrySize) const {
  if (writeSide > 1) throw std::runtime_error("57E2B8A1");
  if (readEntrySize > blockSize_ || writeEntrySize > blockSize_) {
    throw std::runtime_error("A93F6D04");
  }
}

void MultiFileStream::SetSides(uint64_t writeSide, uint64_t readEntrySize, uint64_t writeEntrySize,
                               const BucketRegion* regions0, const BucketRegion* regions1) {
  writeSide_ = writeSide;
  readSide_ = 1 - writeSide;
  entrySize_[writeSide_] = writeEntrySize;
  entrySize_[readSide_] = readEntrySize;
  for (uint64_t s = 0; s < 2; ++s) {
    entriesPerBlock_[s] = entrySize_[s] == 0 ? 0 : blockSize_ / entrySize_[s];
  }
  std::copy(regions0, regions0 + kBuckets, regions_[0].begin());
  std::copy(regions1, regions1 + kBuckets, regions_[1].begin());
  lastWritten_.fill(0);
}

// Called with the threads stopped, while every file count of the write side is still on file.
void MultiFileStream::SetBudgets() {
  for (uint64_t b = 0; b < kBuckets; ++b) {
    uint64_t stored = 0;
    for (uint64_t f = 0; f < files_.size(); ++f) stored += fileEntries_[f][writeSide_][b];
    const BucketRegion& region = regions_[writeSide_][b];
    if (stored > region.capacityEntries) throw std::runtime_error("invalid temp file: 83139FEF");
    budget_[b] = region.capacityEntries - stored;
    const uint64_t blocks = files_.size() * region.capacityBlocks;
    writeAllowance_[b] = blocks > bucketShare_ ? blocks - bucketShare_ : 0;
  }
}

void MultiFileStream::SetPressureFloor() {
  // Average blocks per bucket of each side, against which the write-behind keeps free blocks.
  auto averageBlocks = [&](uint64_t side, bool& small) {
    uint64_t entries = 0;
    for (const BucketRegion& region : regions_[side]) entries += region.capacityEntries;
    const uint64_t perBucket = entries / kBuckets;
    small = entriesPerBlock_[side] > perBucket;
    return entriesPerBlock_[side] == 0 ? 0 : perBucket / entriesPerBlock_[side];
  };
  bool writeSmall = false;
  bool readSmall = false;
  const uint64_t w = averageBlocks(writeSide_, writeSmall);
  const uint64_t r = averageBlocks(readSide_, readSmall);
  if (entrySize_[writeSide_] == 0 || writeSmall) {
    pressureFloor_ = 0;
  } else if (entrySize_[readSide_] == 0 || readSmall) {
    pressureFloor_ = w;
  } else {
    pressureFloor_ = r < w ? w - r : 0;
  }
}

void MultiFileStream::HandOver(uint64_t writeSide, uint64_t readEntrySize, uint64_t writeEntrySize,
                               const BucketRegion* regions0, const BucketRegion* regions1) {
  {
    std::lock_guard lock(control_);
    if (idle_) throw std::runtime_error("5B7E0C2D");
  }
  CheckStepShape(writeSide, readEntrySize, writeEntrySize);
  RethrowFailure();
  JoinThreads();
  try {
    RethrowFailure();
    // The new write side starts empty; the entries a side keeps must keep their width.
    if (SideHoldsEntries(writeSide)) throw std::runtime_error("3F8D2E61");
    if (readEntrySize != entrySize_[1 - writeSide] && SideHoldsEntries(1 - writeSide)) {
      throw std::runtime_error("C0F3A8B6");
    }
  } catch (...) {
    StartThreads();
    throw;
  }
  // A producer may have fetched a block that its budget then left empty.
  for (uint64_t b = 0; b < kBuckets; ++b) {
    BucketState& state = Bucket(writeSide, b);
    std::lock_guard lock(state.mutex);
    if (state.current != nullptr) ReturnBlock(state.current);
    state.current = nullptr;
    state.fetching = false;
  }
  SetSides(writeSide, readEntrySize, writeEntrySize, regions0, regions1);
  readBucket_ = kBuckets;
  SetBudgets();
  SetPressureFloor();
  lowWater_ = freeCount_.load();
  queuedTotal_ = 0;
  StartThreads();
}

bool MultiFileStream::SideHoldsEntries(uint64_t side) {
  for (uint64_t b = 0; b < kBuckets; ++b) {
    BucketState& state = Bucket(side, b);
    std::lock_guard lock(state.mutex);
    if (state.queued != 0 || state.inFlight != 0) return true;
    if (state.current != nullptr && state.current->count != 0) return true;
    for (uint64_t f = 0; f < files_.size(); ++f) {
      if (fileEntries_[f][side][b] != 0) return true;
    }
  }
  return false;
}

// At most one file holds a broken block per side and bucket; it comes back into memory as the
// bucket's current block so that the files only ever hold whole blocks while running.
void MultiFileStream::LoadPartialBlocks() {
  for (uint64_t s = 0; s < 2; ++s) {
    if (entrySize_[s] == 0) continue;
    const uint64_t perBlock = entriesPerBlock_[s];
    for (uint64_t b = 0; b < kBuckets; ++b) {
      uint64_t holder = kMaxFiles;
      for (uint64_t f = 0; f < files_.size(); ++f) {
        if (fileEntries_[f][s][b] % perBlock == 0) continue;
        if (holder != kMaxFiles) throw std::runtime_error("invalid temp file: E9329646");
        holder = f;
      }
      if (holder == kMaxFiles) continue;
      const uint64_t stored = fileEntries_[holder][s][b];
      const uint64_t whole = stored / perBlock;
      const uint64_t partial = stored % perBlock;
      const uint64_t length = RoundUp(partial * entrySize_[s], kIoUnit);
      Block* block = TakeFreeBlock();
      try {
        const iovec piece{block->data, length};
        const int64_t got =
            files_[holder]->ReadV(regions_[s][b].baseOffset + whole * blockSize_, &piece, 1);
        if (got != static_cast<int64_t>(length)) throw std::runtime_error(kShortReadError);
      } catch (...) {
        ReturnBlock(block);
        throw;
      }
      block->count = partial;
      fileEntries_[holder][s][b] = whole * perBlock;
      Bucket(s, b).current = block;
    }
  }
}

void MultiFileStream::StartThreads() {
  {
    std::lock_guard lock(control_);
    if (!readThreads_.empty()) return;
    stop_ = false;
    pause_[0] = false;
    pause_[1] = false;
    paused_ = {0, 0};
  }
  const uint64_t fileCount = files_.size();
  try {
    for (uint64_t f = 0; f < fileCount; ++f)
      readThreads_.emplace_back([this, f] { QueueThread(f); });
    for (uint64_t f = 0; f < fileCount; ++f) {
      writeThreads_.emplace_back([this, f] { FileIoThread(f); });
    }
  } catch (...) {
    JoinThreads();
    throw;
  }
}

void MultiFileStream::JoinThreads() {
  {
    std::lock_guard lock(control_);
    stop_ = true;
  }
  for (auto& thread : readThreads_) thread.join();
  readThreads_.clear();
  for (auto& thread : writeThreads_) thread.join();
  writeThreads_.clear();
}

void MultiFileStream::StopThreads() {
  bool idle;
  {
    std::lock_guard lock(control_);
    idle = idle_;
  }
  if (!idle) {
    JoinThreads();
    std::lock_guard lock(control_);
    idle_ = true;
  }
  {
    std::lock_guard lock(control_);
    failure_ = nullptr;
    failed_ = false;
    flushMode_ = false;
  }
  DiscardBlocks();
  if (freeCount_.load() != blockCount_) throw std::runtime_error("997ED9D5");
}

void MultiFileStream::DiscardBlocks() {
  for (uint64_t i = 0; i < 2 * kBuckets; ++i) {
    BucketState& state = buckets_[i];
    std::lock_guard lock(state.mutex);
    if (state.current != nullptr) ReturnBlock(state.current);
    state.current = nullptr;
    while (Block* block = PopQueue(state)) ReturnBlock(block);
    state.queued = 0;
    state.inFlight = 0;
    state.fetching = false;
  }
  files_.clear();
  queuedTotal_ = 0;
  written_ = 0;
  runsInFlight_ = 0;
  budget_.fill(0);
  writeAllowance_.fill(0);
  for (auto& file : fileEntries_) {
    for (auto& side : file) side.fill(0);
  }
}

void MultiFileStream::SetReadBucket(uint64_t bucket) {
  if (bucket > kBuckets) throw std::runtime_error("4C6B1E92");
  readBucket_ = bucket;
}

uint64_t MultiFileStream::HeldEntries(uint64_t side, uint64_t bucket) {
  if (side > 1 || bucket >= kBuckets) throw std::runtime_error("4C6B1E92");
  BucketState& state = Bucket(side, bucket);
  std::lock_guard lock(state.mutex);
  uint64_t total = state.inFlight * entriesPerBlock_[side];
  for (uint64_t f = 0; f < kMaxFiles; ++f) total += fileEntries_[f][side][bucket];
  if (state.current != nullptr) total += state.current->count;
  for (Block* block = state.queueHead; block != nullptr; block = block->next) total += block->count;
  return total;
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

void MultiFileStream::Flush(uint32_t** countTables, uint64_t fileCount,
                            const std::function<void(double)>& progress) {
  {
    std::lock_guard lock(control_);
    if (idle_) throw std::runtime_error("A48E686E");
  }
  if (fileCount != files_.size()) throw std::runtime_error("F791B8E2");

  // Quiet the read-ahead first so nothing new comes in, then the write-behind so the totals hold.
  for (ThreadKind kind : {kReadAhead, kWriteBehind}) {
    {
      std::lock_guard lock(control_);
      pause_[kind] = true;
    }
    for (;;) {
      {
        std::lock_guard lock(control_);
        if (paused_[kind] == fileCount) break;
      }
      SleepOneMs();
    }
  }

  uint64_t total = 0;
  for (BucketState& state : buckets_) {
    std::lock_guard lock(state.mutex);
    total += state.queued + (state.current != nullptr ? 1 : 0);
  }
  {
    std::lock_guard lock(control_);
    flushMode_ = true;
    written_ = 0;
    pause_[kWriteBehind] = false;
  }

  try {
    for (BucketState& state : buckets_) {
      for (;;) {
        RethrowFailure();
        bool empty;
        {
          std::lock_guard lock(state.mutex);
          empty = state.current == nullptr && state.queued == 0 && state.inFlight == 0;
        }
        if (progress) progress(total == 0 ? 1.0 : static_cast<double>(written_.load()) / total);
        if (empty) break;
        SleepOneMs();
      }
    }
    // A run taken off its bucket may still be on its way to the disk.
    while (runsInFlight_.load() != 0) {
      RethrowFailure();
      SleepOneMs();
    }
    if (progress) progress(total == 0 ? 1.0 : static_cast<double>(written_.load()) / total);
  } catch (...) {
    std::lock_guard lock(control_);
    flushMode_ = false;
    throw;
  }

  JoinThreads();
  {
    std::lock_guard lock(control_);
    flushMode_ = false;
  }
  for (uint64_t f = 0; f < fileCount; ++f) {
    for (uint64_t s = 0; s < 2; ++s) {
      for (uint64_t b = 0; b < kBuckets; ++b) {
        countTables[f][s * kBuckets + b] = static_cast<uint32_t>(fileEntries_[f][s][b]);
      }
    }
  }
  files_.clear();
  std::lock_guard lock(control_);
  idle_ = true;
}

// ---- file threads ----

void MultiFileStream::FileIoThread(uint64_t file) { ThreadLoop(file, kWriteBehind); }

void MultiFileStream::QueueThread(uint64_t file) { ThreadLoop(file, kReadAhead); }

void MultiFileStream::ThreadLoop(uint64_t file, ThreadKind kind) {
  bool countedPaused = false;
  for (;;) {
    bool allocating;
    bool flushMode;
    {
      std::unique_lock lock(control_);
      if (stop_) return;
      if (pause_[kind]) {
        if (!countedPaused) ++paused_[kind];
        countedPaused = true;
        lock.unlock();
        SleepOneMs();
        continue;
      }
      if (countedPaused) --paused_[kind];
      countedPaused = false;
      allocating = allocating_;
      flushMode = flushMode_;
    }
    if (failed_) {
      SleepOneMs();
      continue;
    }
    bool moved = false;
    try {
      if (kind == kWriteBehind) {
        if (allocating) {
          GrowFile(file);
        } else if (flushMode) {
          for (uint64_t side = 0; side < 2; ++side) {
            if (entrySize_[side] != 0) moved = MoveBlocks(file, side, true) || moved;
          }
        } else if (entrySize_[writeSide_] != 0) {
          moved = MoveBlocks(file, writeSide_, false);
        }
      } else if (!allocating) {
        moved = ReadAhead(file);
      }
    } catch (...) {
      StoreFailure(std::current_exception());
    }
    if (!moved) SleepOneMs();
  }
}

bool MultiFileStream::WaitWhilePaused(uint64_t file, int kind) {
  if (pauseMask_ == nullptr) return true;
  while ((pauseMask_->load() >> file) & 1) {
    if (stop_ || (kind == kReadAhead && pause_[kind])) return false;
    SleepOneMs();
  }
  return true;
}

bool MultiFileStream::GrowFile(uint64_t file) {
  const uint64_t pos = filePos_[file].load();
  const uint64_t end = std::min(targetSize_.load(), pos + kGrowthRound);
  if (end <= pos) return false;
  std::array<iovec, kMaxGrowthPieces> pieces;
  uint64_t count = 0;
  for (uint64_t at = pos; at < end; at += kZeroBlockSize) {
    if (count == kMaxGrowthPieces) throw std::runtime_error("E894A2BE");
    pieces[count++] = iovec{zeroBlock_, std::min(end - at, kZeroBlockSize)};
  }
  if (!WaitWhilePaused(file, kWriteBehind)) return false;
  files_[file]->WriteV(pos, pieces.data(), count);
  filePos_[file] = end;
  return true;
}

bool MultiFileStream::MoveBlocks(uint64_t file, uint64_t side, bool flushMode) {
  uint64_t last = lastWritten_[file];
  if (last >= kBuckets) throw std::runtime_error("8711C6F9");
  const uint64_t perBlock = entriesPerBlock_[side];
  const uint64_t width = entrySize_[side];
  iovec* list = requestLists_.Data() + file * 2 * maxBlocksPerBucket_;

  // Search outwards from the bucket written last, alternating above and below it.
  int64_t up = static_cast<int64_t>(last);
  int64_t down = static_cast<int64_t>(last);
  bool upward = false;
  for (uint64_t candidate = 0; candidate < kBuckets; ++candidate) {
    int64_t b;
    if (candidate == 0) {
      b = static_cast<int64_t>(last);
    } else {
      const bool canUp = up + 1 < static_cast<int64_t>(kBuckets);
      const bool canDown = down - 1 >= 0;
      upward = !upward;
      if ((upward && canUp) || !canDown) {
        b = ++up;
        if (b >= static_cast<int64_t>(kBuckets)) throw std::runtime_error("1EE765A5");
      } else {
        b = --down;
        if (b < 0) throw std::runtime_error("1BE4B4C3");
      }
    }
    if (b < 0 || b >= static_cast<int64_t>(kBuckets)) throw std::runtime_error("0618918F");
    const uint64_t bucket = static_cast<uint64_t>(b);

    BucketState& state = Bucket(side, bucket);
    std::unique_lock lock(state.mutex);
    const uint64_t queued = state.queued;
    const uint64_t held = (fileEntries_[file][side][bucket] + perBlock - 1) / perBlock;
    const uint64_t regionBlocks = regions_[side][bucket].capacityBlocks;
    const uint64_t room = regionBlocks > held ? regionBlocks - held : 0;
    uint64_t n;
    bool partial = false;
    if (flushMode) {
      n = queued;
      if (state.current != nullptr && state.current->users == 0) {
        if (state.current->count == 0) {
          ReturnBlock(state.current);
          state.current = nullptr;
          written_.fetch_add(1);
        } else {
          partial = true;
        }
      }
    } else {
      n = std::min(queued, writeAllowance_[bucket]);
    }
    if (n + (partial ? 1 : 0) > room) {
      n = std::min(n, room);
      partial = false;
    }
    // A read bucket may hold a full read-ahead queue and a broken block besides; a run never
    // outgrows the request list, the rest goes in the next pass.
    if (n + (partial ? 1 : 0) > maxBlocksPerBucket_) {
      n = std::min(n, maxBlocksPerBucket_);
      partial = false;
    }
    const uint64_t run = n + (partial ? 1 : 0);
    if (run == 0) continue;
    if (!flushMode) {
      const bool share = queued >= queuedTotal_.load() / kBuckets;
      const bool worth = n >= minRun_ || n == writeAllowance_[bucket] || n == room ||
                         freeCount_.load() <= pressureFloor_;
      if (!share || !worth) continue;
    }
    if (run > maxBlocksPerBucket_) throw std::runtime_error("82F301E1");

    std::vector<Block*> taken;
    taken.reserve(run);
    for (uint64_t i = 0; i < n; ++i) taken.push_back(PopQueue(state));
    if (partial) {
      taken.push_back(state.current);
      state.current = nullptr;
    }
    uint64_t entries = 0;
    for (Block* block : taken) entries += block->count;
    fileEntries_[file][side][bucket] += entries;
    if (!flushMode) writeAllowance_[bucket] -= std::min(n, writeAllowance_[bucket]);
    if (side == writeSide_) queuedTotal_.fetch_sub(std::min(n, queuedTotal_.load()));
    lastWritten_[file] = bucket;
    runsInFlight_.fetch_add(1);
    lock.unlock();

    // Whole blocks fill their slot of the region; only a broken last block may be shorter.
    for (uint64_t i = 0; i < run; ++i) {
      Block* block = taken[i];
      const uint64_t bytes = block->count * width;
      const uint64_t length = block->count == perBlock ? blockSize_ : RoundUp(bytes, kIoUnit);
      std::memset(block->data + bytes, 0, length - bytes);
      list[i] = iovec{block->data, length};
    }
    uint64_t done = 0;
    try {
      uint64_t offset = regions_[side][bucket].baseOffset + held * blockSize_;
      while (done < run) {
        const uint64_t pieces = std::min(kMaxPiecesPerCall, run - done);
        if (!WaitWhilePaused(file, kWriteBehind)) break;
        files_[file]->WriteV(offset, list + done, pieces);
        offset += pieces * blockSize_;
        done += pieces;
      }
    } catch (...) {
      for (Block* block : taken) ReturnBlock(block);
      runsInFlight_.fetch_sub(1);
      throw;
    }
    if (done < run) PutBackRun(file, side, bucket, taken.data() + done, run - done, flushMode);
    for (uint64_t i = 0; i < done; ++i) ReturnBlock(taken[i]);
    if (flushMode) written_.fetch_add(done);
    runsInFlight_.fetch_sub(1);
    return done > 0;
  }
  return false;
}

// A run that `stop` cut short while its file was held back goes back to its bucket, so that
// stopping the threads between two steps loses nothing. Only a flushing run carries a broken
// block, and a flush is never stopped midway except to discard everything.
void MultiFileStream::PutBackRun(uint64_t file, uint64_t side, uint64_t bucket,
                                 Block* const* blocks, uint64_t count, bool flushMode) {
  BucketState& state = Bucket(side, bucket);
  std::lock_guard lock(state.mutex);
  uint64_t queued = 0;
  for (uint64_t i = 0; i < count; ++i) {
    Block* block = blocks[i];
    fileEntries_[file][side][bucket] -= block->count;
    if (block->count == entriesPerBlock_[side] || state.current != nullptr) {
      PushQueue(state, block);
      ++queued;
    } else {
      state.current = block;
    }
  }
  if (!flushMode) writeAllowance_[bucket] += queued;
  if (side == writeSide_) queuedTotal_.fetch_add(queued);
}

bool MultiFileStream::ReadAhead(uint64_t file) {
  const uint64_t bucket = readBucket_.load();
  const uint64_t side = readSide_;
  const uint64_t perBlock = entriesPerBlock_[side];
  if (bucket >= kBuckets || perBlock == 0) return false;
  iovec* list = requestLists_.Data() + (file * 2 + 1) * maxBlocksPerBucket_;

  BucketState& state = Bucket(side, bucket);
  uint64_t n;
  uint64_t offset;
  {
    std::lock_guard lock(state.mutex);
    const uint64_t busy = state.queued + state.inFlight;
    if (busy >= maxBlocksPerBucket_) return false;
    const uint64_t whole = fileEntries_[file][side][bucket] / perBlock;
    if (whole == 0) return false;
    const uint64_t room = maxBlocksPerBucket_ - busy;
    if (whole < room) {
      n = whole;
    } else if (room < minRun_) {
      if (whole != room) return false;
      n = whole;
    } else {
      n = room;
    }
    fileEntries_[file][side][bucket] -= n * perBlock;
    state.inFlight += n;
    offset = regions_[side][bucket].baseOffset + (whole - n) * blockSize_;
  }

  // On any way out without the data, the entries go back to the file's count and the blocks to
  // the pool.
  std::vector<Block*> taken;
  auto giveUp = [&] {
    for (Block* block : taken) ReturnBlock(block);
    std::lock_guard lock(state.mutex);
    fileEntries_[file][side][bucket] += n * perBlock;
    state.inFlight -= n;
  };
  try {
    taken.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
      Block* block = TakeFreeBlockUnlessHeld(kReadAhead);
      if (block == nullptr) {
        giveUp();
        return false;
      }
      block->count = perBlock;
      taken.push_back(block);
      list[i] = iovec{block->data, blockSize_};
    }
    uint64_t at = offset;
    for (uint64_t i = 0; i < n; i += kMaxPiecesPerCall) {
      const uint64_t pieces = std::min(kMaxPiecesPerCall, n - i);
      if (!WaitWhilePaused(file, kReadAhead)) {
        giveUp();
        return false;
      }
      const int64_t got = files_[file]->ReadV(at, list + i, pieces);
      if (got != static_cast<int64_t>(pieces * blockSize_)) {
        throw std::runtime_error(kShortReadError);
      }
      at += pieces * blockSize_;
    }
  } catch (...) {
    giveUp();
    throw;
  }

  std::lock_guard lock(state.mutex);
  for (Block* block : taken) PushQueue(state, block);
  state.inFlight -= n;
  return true;
}
