#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "runtime/memory_arena.h"

// Owning handle of an array of plain elements in arena memory: {arena, data, count}. The
// elements are left uninitialised.
template <typename T>
class ArenaBuffer {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "arena buffers hold plain data");

 public:
  ArenaBuffer() = default;
  ArenaBuffer(const ArenaBuffer&) = delete;
  ArenaBuffer& operator=(const ArenaBuffer&) = delete;
  ArenaBuffer(ArenaBuffer&& other) noexcept
      : arena_(std::exchange(other.arena_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        count_(std::exchange(other.count_, 0)) {}
  ArenaBuffer& operator=(ArenaBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      arena_ = std::exchange(other.arena_, nullptr);
      data_ = std::exchange(other.data_, nullptr);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ~ArenaBuffer() { Release(); }

  // Raises "D6181804" when a buffer is already held, std::bad_alloc when the arena has none.
  void Allocate(MemoryArena& arena, uint64_t count, uint64_t alignment = 16) {
    if (data_ != nullptr) throw std::runtime_error("D6181804");
    if (count > std::numeric_limits<uint64_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* memory = arena.Allocate(count * sizeof(T), alignment);
    if (memory == nullptr) throw std::bad_alloc();
    arena_ = &arena;
    data_ = static_cast<T*>(memory);
    count_ = count;
  }

  void Release() {
    if (data_ != nullptr) arena_->Deallocate(data_);
    arena_ = nullptr;
    data_ = nullptr;
    count_ = 0;
  }

  void Clear() {
    if (data_ != nullptr) std::memset(static_cast<void*>(data_), 0, count_ * sizeof(T));
  }

  T* Data() const { return data_; }
  uint64_t Count() const { return count_; }
  MemoryArena* Arena() const { return arena_; }
  T& operator[](uint64_t index) const { return data_[index]; }

 private:
  MemoryArena* arena_ = nullptr;
  T* data_ = nullptr;
  uint64_t count_ = 0;
};

// The entry bitmaps of the finalization job: 2^32 bits zero-filled, then a smaller scratch
// buffer that is not cleared.
struct EntryBuffers {
  static constexpr uint64_t kBitmapWords = 67108864;
  static constexpr uint64_t kScratchWords = 1048576;

  ArenaBuffer<uint64_t> bitmap;
  ArenaBuffer<uint64_t> scratch;
  uint8_t flag = 0;
};

// The holder comes from `objectArena`, both buffers from `bufferArena`.
ArenaPtr<EntryBuffers> NewEntryBuffers(MemoryArena& objectArena, MemoryArena& bufferArena);
