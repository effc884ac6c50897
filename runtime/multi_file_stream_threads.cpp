// The file threads: write-behind, read-ahead and file growth, one of each per file.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "runtime/multi_file_stream.h"
#include "runtime/multi_file_stream_detail.h"

using namespace multi_file_stream_detail;

namespace {

constexpr uint64_t kGrowthRound = 64ull << 20;
constexpr uint64_t kMaxGrowthPieces = 512;
constexpr uint64_t kMaxPiecesPerCall = 64;
// Free blocks below which the blocks normally kept in memory go to the files as well.
constexpr uint64_t kSpillReserve = 16;

}  // namespace

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
          // The last step's blocks waiting to be read can pin most of the pool while the
          // producers, which are also the readers, wait for a block: write them back.
          if (!moved && entrySize_[readSide_] != 0 && ShortOfBlocks()) {
            moved = MoveBlocks(file, readSide_, false);
          }
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

bool MultiFileStream::ShortOfBlocks() const { return freeCount_.load() < kSpillReserve; }

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
  // Space the file system hands out zero-filled costs no disk transfer.
  if (!files_[file]->ReserveZeros(pos, end - pos)) files_[file]->WriteV(pos, pieces.data(), count);
  filePos_[file] = end;
  return true;
}

bool MultiFileStream::MoveBlocks(uint64_t file, uint64_t side, bool flushMode) {
  uint64_t last = lastWritten_[file];
  if (last >= kBuckets) throw std::runtime_error("8711C6F9");
  const uint64_t perBlock = entriesPerBlock_[side];
  const uint64_t width = entrySize_[side];
  iovec* list = requestLists_.Data() + file * 2 * maxBlocksPerBucket_;
  // Outside a flush, a pass over the read side only gives back whole queued blocks; the
  // read-ahead leaves such a bucket alone until the run is on disk.
  const bool spill = !flushMode && side != writeSide_;
  const bool starved = !flushMode && ShortOfBlocks();

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
    // A read-ahead on its way owns the end of the file's region; the bucket being read keeps
    // what a read-ahead could have brought in.
    if (spill && state.inFlight != 0) continue;
    const uint64_t keep = spill && bucket == readBucket_.load() ? maxBlocksPerBucket_ : 0;
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
    } else if (spill || starved) {
      // Keeping the last blocks of each bucket in memory must never starve the producers.
      n = queued > keep ? queued - keep : 0;
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
    if (!flushMode && !spill) {
      const bool share = queued >= queuedTotal_.load() / kBuckets;
      const bool worth = n >= minRun_ || n == writeAllowance_[bucket] || n == room || starved ||
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
    if (!flushMode && !spill) writeAllowance_[bucket] -= std::min(n, writeAllowance_[bucket]);
    if (side == writeSide_) queuedTotal_.fetch_sub(std::min(n, queuedTotal_.load()));
    if (spill) ++state.spilling;
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
      // A failed stream is only ever reset, which clears the spilling mark as well.
      for (Block* block : taken) ReturnBlock(block);
      runsInFlight_.fetch_sub(1);
      throw;
    }
    if (done < run) PutBackRun(file, side, bucket, taken.data() + done, run - done, flushMode);
    for (uint64_t i = 0; i < done; ++i) ReturnBlock(taken[i]);
    if (spill) {
      lock.lock();
      --state.spilling;
      lock.unlock();
    }
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
  if (!flushMode && side == writeSide_) writeAllowance_[bucket] += queued;
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
    if (busy >= maxBlocksPerBucket_ || state.spilling != 0) return false;
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
