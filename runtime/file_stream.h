#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>

#include "runtime/buffer_pool.h"
#include "runtime/io_worker.h"

// After each segment, a position in [from, to) moves on by delta. All zero: no skipping.
struct SkipRule {
  uint64_t from = 0;
  uint64_t to = 0;
  uint64_t delta = 0;
};

// A double-buffered sequential stream over one region of the worker's file. The caller copies
// into or out of one buffer while the worker writes or fetches the other. Buffers are whole
// pool buffers; only the first sixteenth of each is exposed before the worker is told the
// stream is active, so a stream that touches a few bytes costs one transfer.
class FileStream {
 public:
  enum Mode : uint8_t { kReader = 0, kWriter = 1 };

  // A length that reaches past 2^64 - 1 means the region has no end. `firstSegmentSize` 0 means
  // the pool's buffer size. Raises "2554D2FB" (pool alignment or buffer size not a multiple of
  // 4096), "5538B0C1" (first segment larger than a buffer), "629B032B" (first segment not a
  // multiple of 4096), "E4983275" (every registration place taken).
  FileStream(IoWorker& worker, uint64_t offset, uint64_t length, uint64_t firstSegmentSize,
             Mode mode, SkipRule skip = {});
  virtual ~FileStream();
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  void Write(const void* bytes, uint64_t n);
  // Past the end of the file the region reads as zeros (see ZeroFilledBytes). Reading past the
  // end of the region raises "14FFDD70".
  void Read(void* bytes, uint64_t n);
  // Ends the caller's buffer and moves to the other one; rethrows a failed transfer.
  void SwapBuffer(bool more);
  // Writer: puts everything written so far on disk in the caller's thread, keeping the file's
  // bytes around it in the blocks it touches. Both kinds rethrow a failed transfer.
  void Finish();

  // File offset of the caller's next byte (after Finish: the end of what was written).
  uint64_t Offset() const;
  // Bytes of the region fetched so far that lay past the end of the file and were handed out
  // as zeros rather than read from disk.
  uint64_t ZeroFilledBytes() const { return zeroFilled_.load(); }
  Mode StreamMode() const { return mode_; }

 private:
  friend class IoWorker;

  struct Segment {
    BufferSlot* buffer = nullptr;
    uint64_t filePosition = 0;    // multiple of 4096
    uint64_t transferLength = 0;  // multiple of 4096
    uint64_t head = 0;            // bytes of the first block before the data
    uint64_t dataLength = 0;
  };

  // Both run with the stream mutex held.
  bool FetchSegment(int slot, bool wait);
  void WriteSegment(int slot);

  BufferSlot* TakeBuffer(int slot, bool wait);
  void SetCursor(int slot);
  void ClearCursor();
  void MarkStarted();
  // Makes the held-back rest of the buffer available; false when nothing is held back.
  bool ExposeHeldBack();
  uint64_t NextFilePosition() const;
  // Whether the worker has something to do for the slot the caller is not using.
  bool IsCandidate() const;

  IoWorker* worker_;
  Segment slots_[2];
  int current_ = 0;
  std::exception_ptr failure_;
  uint8_t* cursor_ = nullptr;
  uint64_t available_ = 0;
  uint64_t heldBack_ = 0;
  uint64_t position_;
  uint64_t remaining_;
  std::atomic<uint8_t> started_{0};
  uint8_t firstSegment_ = 1;
  uint64_t firstSegmentSize_;
  mutable std::mutex mutex_;
  Mode mode_;
  SkipRule skip_;
  std::atomic<uint64_t> zeroFilled_{0};
};

class FileReader : public FileStream {
 public:
  FileReader(IoWorker& worker, uint64_t offset, uint64_t length, uint64_t firstSegmentSize = 0,
             SkipRule skip = {})
      : FileStream(worker, offset, length, firstSegmentSize, kReader, skip) {}
};

class FileWriter : public FileStream {
 public:
  FileWriter(IoWorker& worker, uint64_t offset, uint64_t length, uint64_t firstSegmentSize = 0,
             SkipRule skip = {})
      : FileStream(worker, offset, length, firstSegmentSize, kWriter, skip) {}
};
