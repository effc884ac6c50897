#pragma once

#include <cstdint>
#include <cstdlib>

// The allocator the park codec takes its long-lived buffers from. The plotting engines hand in
// their working-memory arena; `Allocate` returns null when it cannot serve the request.
class CodecArena {
 public:
  virtual ~CodecArena() = default;
  virtual void* Allocate(uint64_t size, uint64_t alignment) = 0;
  virtual void Deallocate(void* pointer) = 0;
};

// Serves every request from the general heap.
class HeapCodecArena final : public CodecArena {
 public:
  void* Allocate(uint64_t size, uint64_t alignment) override {
    void* pointer = nullptr;
    if (alignment < 16) alignment = 16;
    return posix_memalign(&pointer, alignment, size) == 0 ? pointer : nullptr;
  }
  void Deallocate(void* pointer) override { free(pointer); }
};
