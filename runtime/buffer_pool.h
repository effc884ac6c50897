#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"

class BufferPool;

// One buffer of a pool. While handed out, `next` points to the slot itself.
struct BufferSlot {
  uint8_t* buffer = nullptr;
  BufferSlot* next = nullptr;
  BufferPool* pool = nullptr;
};

// A fixed set of equal, aligned I/O buffers shared through a free list.
class BufferPool {
  struct Key {
    explicit Key() = default;
  };

 public:
  using Handle = ArenaPtr<BufferPool>;

  // The pool object comes from `arena`; slot records, their array and the buffers from
  // `bufferArena` (the same arena when null). Raises "failed to allocate memory: FF2EEA3A" when a
  // buffer cannot be had, "7A3F19C2" for a count of 0.
  static Handle Create(MemoryArena& arena, uint64_t bufferSize, uint64_t alignment, uint64_t count,
                       MemoryArena* bufferArena);

  // Takes the first free buffer; when none is free, waits (`wait`) or returns null.
  BufferSlot* Take(bool wait);
  // Puts a handed-out buffer back on its pool's free list and wakes the takers; "56FEF7C8" when
  // the slot is not handed out.
  static void GiveBack(BufferSlot* slot);

  uint64_t BufferSize() const { return bufferSize_; }
  uint64_t Alignment() const { return alignment_; }
  uint64_t Count() const { return slots_.Count(); }

  // Gives every buffer, every slot record and the slot array back to their arenas, whether or not
  // the buffers were returned.
  void Release();

  BufferPool(Key, uint64_t bufferSize, uint64_t alignment);
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

 private:
  struct SlotEntry {
    MemoryArena* arena;
    BufferSlot* slot;
  };

  uint64_t bufferSize_;
  uint64_t alignment_;
  std::mutex mutex_;
  std::condition_variable cv_;
  ArenaBuffer<SlotEntry> slots_;
  BufferSlot* head_ = nullptr;
};
