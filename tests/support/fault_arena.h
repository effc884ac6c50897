#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "runtime/memory_arena.h"
#include "runtime/system_memory.h"

// An arena that counts what it hands out and fails on request: allocation number `failFrom`
// (from 1) and every later one return null. Pieces of `sharedSize` bytes all share one buffer
// that is never touched, so that large pools can be built for their limits alone.
class FaultArena : public MemoryArena {
 public:
  explicit FaultArena(uint64_t failFromCall = 0, SystemMemory& system = HostSystemMemory())
      : MemoryArena([this](const std::string& text) { warnings.push_back(text); }, system),
        failFrom(failFromCall) {}

  void* Allocate(uint64_t size, uint64_t alignment) override {
    ++allocations;
    if (failFrom != 0 && allocations >= failFrom) return nullptr;
    void* p = size != 0 && size == sharedSize ? &shared_ : MemoryArena::Allocate(size, alignment);
    if (p != nullptr) ++outstanding, bytes += size;
    return p;
  }
  void Deallocate(void* pointer) override {
    if (pointer == nullptr) return;
    --outstanding;
    if (pointer != &shared_) MemoryArena::Deallocate(pointer);
  }

  uint64_t failFrom;
  uint64_t sharedSize = 0;
  uint64_t allocations = 0;
  uint64_t bytes = 0;  // handed out, freed or not
  int64_t outstanding = 0;
  std::vector<std::string> warnings;

 private:
  alignas(4096) static inline uint8_t shared_ = 0;
};

// Runs `build` once with every allocation failing in turn (the first, the second, ...) until a
// run completes. Each cut-short run must throw and leave nothing allocated. Returns what each
// of them threw, in order; its size is the number of allocations a whole run makes.
template <typename Build>
std::vector<std::string> SweepAllocationFailures(Build&& build) {
  std::vector<std::string> thrown;
  for (uint64_t failFrom = 1; failFrom < 10000; ++failFrom) {
    FaultArena arena(failFrom);
    bool threw = false;
    try {
      build(arena);
    } catch (const std::exception& error) {
      threw = true;
      thrown.push_back(error.what());
    }
    EXPECT_EQ(arena.outstanding, 0) << "allocation " << failFrom << " failed";
    if (!threw) {
      EXPECT_LT(arena.allocations, failFrom) << "a failed allocation went unreported";
      return thrown;
    }
  }
  ADD_FAILURE() << "no run completed";
  return thrown;
}
