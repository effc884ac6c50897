// Step control: sizing the files, feeding a step, handing over between steps, flushing, and
// starting and stopping the file threads.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "runtime/multi_file_stream.h"
#include "runtime/multi_file_stream_detail.h"

using namespace multi_file_stream_detail;

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
    state.spilling = 0;
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
