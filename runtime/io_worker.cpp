#include "runtime/io_worker.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>

#include "runtime/file_error_texts.h"
#include "runtime/file_stream.h"

void SleepOneMillisecond() {
  timespec rest{0, 1000000};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

IoWorker::IoWorker(MemoryArena& arena, BufferPool& pool, uint64_t slots, const PauseByte* pause)
    : pool_(&pool), arena_(&arena), pause_(pause) {
  scratch_ = static_cast<uint8_t*>(arena.Allocate(DirectFile::kBlockSize, DirectFile::kBlockSize));
  if (scratch_ == nullptr)
    throw std::runtime_error(FileErrorText(FileError::kFailedToAllocateMemory, "A50DC5CF"));
  try {
    streams_.Allocate(arena, slots);
    thread_ = std::thread(&IoWorker::Run, this);
  } catch (...) {
    arena.Deallocate(scratch_);
    throw;
  }
}

IoWorker::~IoWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  arena_->Deallocate(scratch_);
  streams_.Release();
}

IoWorkerHandle NewIoWorker(MemoryArena& arena, BufferPool& pool, uint64_t slots,
                           const PauseByte* pause) {
  return NewInArena<IoWorker>(arena, arena, pool, slots, pause);
}

void DeleteIoWorker(IoWorkerHandle& worker) { worker.reset(); }

void IoWorker::WaitForTransfer(std::unique_lock<std::mutex>& lock, const FileStream* stream) {
  cv_.wait(lock, [&] { return active_ == nullptr || (stream != nullptr && active_ != stream); });
}

void IoWorker::SetFile(DirectFile* file) {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitForTransfer(lock, nullptr);
  if (file != nullptr && streamCount_ != 0) throw std::runtime_error("3A8EA0B4");
  file_ = file;
}

uint64_t IoWorker::RegisteredStreams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return streamCount_;
}

void IoWorker::WaitWhilePaused() const {
  while (pause_ != nullptr && pause_->load(std::memory_order_relaxed) != 0) SleepOneMillisecond();
}

void IoWorker::Wake() {
  // Passing through the worker mutex orders the wake-up after the worker's last look at the
  // streams, so it cannot be lost between that look and the wait.
  { std::lock_guard<std::mutex> lock(mutex_); }
  cv_.notify_all();
}

int64_t IoWorker::ReadBlock(uint64_t offset, void* buffer, uint64_t length) {
  WaitWhilePaused();
  DirectFile* file = file_.load();
  if (file == nullptr) throw std::runtime_error("46621417");
  const int64_t got = file->Read(offset, buffer, length);
  const uint64_t delivered = got > 0 ? static_cast<uint64_t>(got) : 0;
  if (delivered < length)
    std::memset(static_cast<uint8_t*>(buffer) + delivered, 0, length - delivered);
  position_ = offset + length;
  return static_cast<int64_t>(delivered);
}

void IoWorker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (streamCount_ == 0) {
      cv_.wait_for(lock, std::chrono::milliseconds(100));
      continue;
    }

    // Pick the stream whose pending transfer lies nearest to the last one.
    const uint64_t here = position_.load();
    FileStream* best = nullptr;
    uint64_t bestDistance = 0;
    bool bestFresh = false;  // neither started nor waiting for its first segment
    bool bestWriter = false;
    for (uint64_t i = 0; i < streamCount_; ++i) {
      FileStream* stream = streams_[i];
      std::unique_lock<std::mutex> streamLock(stream->mutex_, std::try_to_lock);
      if (!streamLock.owns_lock() || !stream->IsCandidate()) continue;
      const int slot = 1 - stream->current_;
      const uint64_t where = stream->mode_ == FileStream::kWriter
                                 ? stream->slots_[slot].filePosition
                                 : stream->NextFilePosition();
      const uint64_t distance = where > here ? where - here : here - where;
      const bool started = stream->started_.load() != 0;
      const bool fresh = !started && stream->firstSegment_ == 0;
      const bool writer = stream->mode_ == FileStream::kWriter;
      bool replace = best == nullptr || distance < bestDistance;
      if (!replace) {
        replace = (started && stream->firstSegment_ == 0 && bestFresh) || (writer && !bestWriter);
      }
      if (replace) {
        best = stream;
        bestDistance = distance;
        bestFresh = fresh;
        bestWriter = writer;
      }
    }
    if (best == nullptr) {
      cv_.wait_for(lock, std::chrono::milliseconds(100));
      continue;
    }

    bool transferred = false;
    bool skipped = false;
    active_ = best;
    lock.unlock();
    {
      std::unique_lock<std::mutex> streamLock(best->mutex_, std::try_to_lock);
      if (!streamLock.owns_lock() || !best->IsCandidate()) {
        skipped = true;
      } else {
        const int slot = 1 - best->current_;
        if (best->mode_ == FileStream::kWriter) {
          best->WriteSegment(slot);
          transferred = true;
        } else {
          try {
            transferred = best->FetchSegment(slot, false);
          } catch (...) {
            best->failure_ = std::current_exception();
            transferred = true;
          }
        }
      }
    }
    lock.lock();
    active_ = nullptr;
    // A stream being dropped or a file being swapped waits for the transfer's end.
    cv_.notify_all();
    if (skipped) continue;
    if (!transferred) {
      // No free pool buffer: let the callers give one back.
      lock.unlock();
      SleepOneMillisecond();
      lock.lock();
    }
  }
}
