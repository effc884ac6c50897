#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "runtime/arena_buffer.h"
#include "runtime/buffer_pool.h"
#include "runtime/direct_file.h"
#include "runtime/memory_arena.h"

class FileStream;

// A byte owned by the client core: while it is non-zero, disk transfers wait in 1 ms steps.
using PauseByte = std::atomic<uint8_t>;

// The one I/O thread of a file. It serves every stream registered on the file, at each turn the
// one whose pending transfer lies nearest to where the last transfer ended, so that interleaved
// streams cost few seeks.
class IoWorker {
 public:
  // `slots` is the number of streams that may be registered at once; `pause` may be null.
  IoWorker(MemoryArena& arena, BufferPool& pool, uint64_t slots, const PauseByte* pause);
  ~IoWorker();
  IoWorker(const IoWorker&) = delete;
  IoWorker& operator=(const IoWorker&) = delete;

  // Attaching a file while streams are registered raises "3A8EA0B4"; detaching (null) does not.
  void SetFile(DirectFile* file);
  DirectFile* File() const { return file_.load(); }
  BufferPool& Pool() const { return *pool_; }

  // Reads `length` bytes at `offset` once the pause byte is clear and zero-fills what lies past
  // the end of the file. Returns the number of bytes that came from the file.
  int64_t ReadBlock(uint64_t offset, void* buffer, uint64_t length);

  // End offset of the last transfer.
  uint64_t Position() const { return position_.load(); }
  uint64_t RegisteredStreams() const;

 private:
  friend class FileStream;

  void Run();
  void WaitWhilePaused() const;
  // Wakes the thread; the caller holds no stream mutex.
  void Wake();
  // With the worker mutex held: waits until the thread is done with `stream` (any stream when
  // null).
  void WaitForTransfer(std::unique_lock<std::mutex>& lock, const FileStream* stream);

  std::atomic<DirectFile*> file_{nullptr};
  std::mutex ioMutex_;
  std::atomic<uint64_t> position_{0};
  BufferPool* pool_;
  uint8_t* scratch_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  // The stream the thread transfers for without the worker mutex, so that a caller's wake-up or
  // registration never waits for a transfer; it stays registered until the transfer ends.
  FileStream* active_ = nullptr;
  std::thread thread_;
  bool stop_ = false;
  ArenaBuffer<FileStream*> streams_;
  uint64_t streamCount_ = 0;
  MemoryArena* arena_;
  const PauseByte* pause_;
};

using IoWorkerHandle = ArenaPtr<IoWorker>;

// The scratch block cannot be had: "failed to allocate memory: A50DC5CF"; the registration
// array: std::bad_alloc.
IoWorkerHandle NewIoWorker(MemoryArena& arena, BufferPool& pool, uint64_t slots,
                           const PauseByte* pause);
// Stops and joins the thread and gives everything back to the arena.
void DeleteIoWorker(IoWorkerHandle& worker);

// Sleeps one millisecond, going on with the rest of the time when a signal cuts it short.
void SleepOneMillisecond();
