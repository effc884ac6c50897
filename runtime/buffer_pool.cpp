#include "runtime/buffer_pool.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "runtime/file_error_texts.h"

BufferPool::BufferPool(Key, uint64_t bufferSize, uint64_t alignment)
    : bufferSize_(bufferSize), alignment_(alignment) {}

BufferPool::~BufferPool() { Release(); }

BufferPool::Handle BufferPool::Create(MemoryArena& arena, uint64_t bufferSize, uint64_t alignment,
                                      uint64_t count, MemoryArena* bufferArena) {
  if (count == 0) throw std::runtime_error("7A3F19C2");
  MemoryArena* buffers = bufferArena != nullptr ? bufferArena : &arena;
  Handle pool = NewInArena<BufferPool>(arena, Key{}, bufferSize, alignment);

  // On any failure below the handle's deleter releases what was built.
  pool->slots_.Allocate(*buffers, count);
  for (uint64_t i = 0; i < count; ++i) pool->slots_[i] = SlotEntry{buffers, nullptr};
  for (uint64_t i = 0; i < count; ++i) {
    void* memory = buffers->Allocate(sizeof(BufferSlot), alignof(BufferSlot));
    if (memory == nullptr) throw std::bad_alloc();
    pool->slots_[i].slot = new (memory) BufferSlot{nullptr, nullptr, pool.get()};
  }
  const uint64_t bufferAlignment = std::max<uint64_t>(alignment, 16);
  for (uint64_t i = 0; i < count; ++i) {
    void* memory = buffers->Allocate(bufferSize, bufferAlignment);
    if (memory == nullptr)
      throw std::runtime_error(FileErrorText(FileError::kFailedToAllocateMemory, "FF2EEA3A"));
    pool->slots_[i].slot->buffer = static_cast<uint8_t*>(memory);
  }
  for (uint64_t i = 0; i + 1 < count; ++i) pool->slots_[i].slot->next = pool->slots_[i + 1].slot;
  pool->head_ = pool->slots_[0].slot;
  return pool;
}

BufferSlot* BufferPool::Take(bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (head_ == nullptr) {
    if (!wait) return nullptr;
    cv_.wait(lock);
  }
  BufferSlot* slot = head_;
  head_ = slot->next;
  slot->next = slot;
  return slot;
}

void BufferPool::GiveBack(BufferSlot* slot) {
  BufferPool* pool = slot->pool;
  {
    std::lock_guard<std::mutex> lock(pool->mutex_);
    if (slot->next != slot) throw std::runtime_error("56FEF7C8");
    slot->next = pool->head_;
    pool->head_ = slot;
  }
  pool->cv_.notify_all();
}

void BufferPool::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint64_t i = 0; i < slots_.Count(); ++i) {
    BufferSlot* slot = slots_[i].slot;
    if (slot != nullptr && slot->buffer != nullptr) {
      slots_[i].arena->Deallocate(slot->buffer);
      slot->buffer = nullptr;
    }
  }
  for (uint64_t i = 0; i < slots_.Count(); ++i) {
    if (slots_[i].slot != nullptr) slots_[i].arena->Deallocate(slots_[i].slot);
    slots_[i].slot = nullptr;
  }
  slots_.Release();
  head_ = nullptr;
}
