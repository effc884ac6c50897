#include "runtime/file_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr uint64_t kBlock = DirectFile::kBlockSize;

uint64_t RoundUpToBlock(uint64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }

}  // namespace

FileStream::FileStream(IoWorker& worker, uint64_t offset, uint64_t length,
                       uint64_t firstSegmentSize, Mode mode, SkipRule skip)
    : worker_(&worker),
      position_(offset),
      remaining_(std::min(length, std::numeric_limits<uint64_t>::max() - offset)),
      firstSegmentSize_(firstSegmentSize),
      mode_(mode),
      skip_(skip) {
  const BufferPool& pool = worker.Pool();
  // A buffer that is not a whole number of blocks would let a rounded-up transfer run past it.
  if (pool.Alignment() % kBlock != 0 || pool.BufferSize() == 0 || pool.BufferSize() % kBlock != 0) {
    throw std::runtime_error("2554D2FB");
  }
  if (firstSegmentSize != 0) {
    if (firstSegmentSize > pool.BufferSize()) throw std::runtime_error("5538B0C1");
    if (firstSegmentSize % kBlock != 0) throw std::runtime_error("629B032B");
  } else {
    firstSegmentSize_ = pool.BufferSize();
  }
  {
    std::lock_guard<std::mutex> lock(worker.mutex_);
    if (worker.streamCount_ == worker.streams_.Count()) throw std::runtime_error("E4983275");
    worker.streams_[worker.streamCount_++] = this;
  }
  if (mode == kReader) worker.cv_.notify_all();
}

FileStream::~FileStream() {
  {
    std::unique_lock<std::mutex> lock(worker_->mutex_);
    worker_->WaitForTransfer(lock, this);
    for (uint64_t i = 0; i < worker_->streamCount_; ++i) {
      if (worker_->streams_[i] == this) {
        worker_->streams_[i] = worker_->streams_[--worker_->streamCount_];
        break;
      }
    }
  }
  for (Segment& segment : slots_) {
    if (segment.buffer != nullptr) BufferPool::GiveBack(segment.buffer);
  }
}

uint64_t FileStream::NextFilePosition() const { return position_ / kBlock * kBlock; }

bool FileStream::IsCandidate() const {
  const Segment& other = slots_[1 - current_];
  if (mode_ == kWriter) return other.buffer != nullptr;
  return failure_ == nullptr && (started_.load() != 0 || firstSegment_ != 0) &&
         other.buffer == nullptr && remaining_ > 0;
}

void FileStream::SetCursor(int slot) {
  const Segment& segment = slots_[slot];
  cursor_ = segment.buffer->buffer + segment.head;
  available_ = std::min(segment.dataLength, worker_->Pool().BufferSize() / 16);
  heldBack_ = segment.dataLength - available_;
}

void FileStream::ClearCursor() {
  cursor_ = nullptr;
  available_ = 0;
  heldBack_ = 0;
}

void FileStream::MarkStarted() {
  started_ = 1;
  worker_->Wake();
}

uint64_t FileStream::Offset() const {
  // The caller's own slot changes only in the caller's thread, so it is read without the lock
  // that the worker may be holding through a long transfer.
  if (cursor_ != nullptr) {
    const Segment& segment = slots_[current_];
    return segment.filePosition + static_cast<uint64_t>(cursor_ - segment.buffer->buffer);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return position_;
}

BufferSlot* FileStream::TakeBuffer(int slot, bool wait) {
  BufferPool& pool = worker_->Pool();
  for (;;) {
    if (BufferSlot* buffer = pool.Take(false)) return buffer;
    if (!wait) return nullptr;
    // A waiting writer could hold the last buffer itself, in the slot it just left to the
    // worker, which cannot take the stream while we wait: write it here instead.
    Segment& other = slots_[1 - slot];
    if (mode_ == kWriter && other.buffer != nullptr) {
      WriteSegment(1 - slot);
      continue;
    }
    return pool.Take(true);
  }
}

bool FileStream::FetchSegment(int slot, bool wait) {
  if (remaining_ == 0) throw std::runtime_error("14FFDD70");
  BufferSlot* buffer = TakeBuffer(slot, wait);
  if (buffer == nullptr) return false;

  Segment& segment = slots_[slot];
  segment.buffer = buffer;
  // Offsets stay block-aligned unless a skip moved them off; the head covers either case.
  segment.head = position_ % kBlock;
  const uint64_t size = firstSegment_ != 0 ? firstSegmentSize_ : worker_->Pool().BufferSize();
  segment.dataLength = std::min(size - segment.head, remaining_);
  segment.filePosition = position_ - segment.head;
  segment.transferLength = RoundUpToBlock(segment.head + segment.dataLength);
  firstSegment_ = 0;

  remaining_ -= segment.dataLength;
  position_ += segment.dataLength;
  if (position_ >= skip_.from && position_ < skip_.to) position_ += skip_.delta;

  if (mode_ == kWriter) return true;
  std::lock_guard<std::mutex> io(worker_->ioMutex_);
  if (failure_ == nullptr) {
    try {
      const uint64_t got = static_cast<uint64_t>(
          worker_->ReadBlock(segment.filePosition, buffer->buffer, segment.transferLength));
      const uint64_t dataEnd = segment.head + segment.dataLength;
      const uint64_t fromDisk = std::clamp(got, segment.head, dataEnd);
      zeroFilled_ += dataEnd - fromDisk;
    } catch (...) {
      failure_ = std::current_exception();
    }
  }
  return true;
}

void FileStream::WriteSegment(int slot) {
  Segment& segment = slots_[slot];
  {
    std::lock_guard<std::mutex> io(worker_->ioMutex_);
    if (failure_ == nullptr) {
      try {
        DirectFile* file = worker_->File();
        if (file == nullptr) throw std::runtime_error("D4F635FA");
        uint8_t* data = segment.buffer->buffer;
        uint8_t* scratch = worker_->scratch_;
        const uint64_t fileSize = static_cast<uint64_t>(file->GetSize());
        // Reads one block into the scratch block; what lies past the end of the file is zero,
        // never what an earlier use left there.
        auto readBlock = [&](uint64_t offset) {
          const int64_t got = file->Read(offset, scratch, kBlock);
          const uint64_t delivered = got > 0 ? static_cast<uint64_t>(got) : 0;
          if (delivered < kBlock) std::memset(scratch + delivered, 0, kBlock - delivered);
        };
        bool headBlockRead = false;
        if (segment.head > 0) {
          if (segment.filePosition >= fileSize) {
            std::memset(data, 0, segment.head);
          } else {
            readBlock(segment.filePosition);
            headBlockRead = true;
            std::memcpy(data, scratch, segment.head);
          }
        }
        const uint64_t end = segment.head + segment.dataLength;
        if (end < segment.transferLength) {
          if (segment.filePosition + end >= fileSize) {
            std::memset(data + end, 0, segment.transferLength - end);
          } else {
            const uint64_t tailBlock = segment.transferLength - kBlock;
            if (!(headBlockRead && tailBlock == 0)) readBlock(segment.filePosition + tailBlock);
            std::memcpy(data + end, scratch + (end - tailBlock), segment.transferLength - end);
          }
        }
        worker_->WaitWhilePaused();
        file->Write(segment.filePosition, data, segment.transferLength);
        worker_->position_ = segment.filePosition + segment.transferLength;
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
  }
  BufferSlot* buffer = segment.buffer;
  segment.buffer = nullptr;
  BufferPool::GiveBack(buffer);
}

bool FileStream::ExposeHeldBack() {
  if (heldBack_ == 0) return false;
  available_ = heldBack_;
  heldBack_ = 0;
  MarkStarted();
  return true;
}

void FileStream::Write(const void* bytes, uint64_t n) {
  const uint8_t* from = static_cast<const uint8_t*>(bytes);
  for (;;) {
    const uint64_t take = std::min(n, available_);
    if (take > 0) std::memcpy(cursor_, from, take);
    cursor_ += take;
    available_ -= take;
    from += take;
    n -= take;
    if (n == 0) return;
    if (!ExposeHeldBack()) SwapBuffer(true);
  }
}

void FileStream::Read(void* bytes, uint64_t n) {
  uint8_t* to = static_cast<uint8_t*>(bytes);
  while (n > 0) {
    const uint64_t take = std::min(n, available_);
    if (take > 0) std::memcpy(to, cursor_, take);
    cursor_ += take;
    available_ -= take;
    to += take;
    n -= take;
    if (available_ > 0) return;
    // An exactly emptied buffer goes back to the pool at once.
    if (!ExposeHeldBack()) SwapBuffer(n > 0);
  }
}

void FileStream::SwapBuffer(bool more) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_ != nullptr) std::rethrow_exception(failure_);
    if (mode_ == kWriter) {
      // The full buffer stays in its slot for the worker.
      current_ = 1 - current_;
      if (slots_[current_].buffer != nullptr) WriteSegment(current_);
      ClearCursor();
      if (more) {
        FetchSegment(current_, true);
        SetCursor(current_);
      }
    } else {
      Segment& done = slots_[current_];
      if (done.buffer != nullptr) {
        BufferSlot* buffer = done.buffer;
        done.buffer = nullptr;
        BufferPool::GiveBack(buffer);
      }
      current_ = 1 - current_;
      ClearCursor();
      if (slots_[current_].buffer != nullptr) {
        SetCursor(current_);
      } else if (more) {
        FetchSegment(current_, true);
        SetCursor(current_);
      }
    }
    if (failure_ != nullptr) std::rethrow_exception(failure_);
  }
  worker_->Wake();
}

void FileStream::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_ != nullptr) std::rethrow_exception(failure_);
  if (mode_ == kWriter) {
    const int other = 1 - current_;
    if (slots_[other].buffer != nullptr) WriteSegment(other);
    Segment& segment = slots_[current_];
    if (segment.buffer != nullptr) {
      // Take back the part of the buffer that was never written to.
      segment.dataLength -= available_ + heldBack_;
      segment.transferLength = RoundUpToBlock(segment.head + segment.dataLength);
      position_ = segment.filePosition + segment.head + segment.dataLength;
      if (segment.dataLength > 0) {
        WriteSegment(current_);
      } else {
        BufferSlot* buffer = segment.buffer;
        segment.buffer = nullptr;
        BufferPool::GiveBack(buffer);
      }
    }
    remaining_ = 0;
    ClearCursor();
  }
  if (failure_ != nullptr) std::rethrow_exception(failure_);
}
