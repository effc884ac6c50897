#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "plotter/distribution_pass.h"

// Hands out the entries of one array in the order callers ask, from any number of threads.
struct ArraySource final : EntrySource {
  const uint8_t* bytes = nullptr;
  uint64_t width = 0;
  std::atomic<uint64_t> next{0};
  void TakeEntries(void* out, uint64_t count) override {
    std::memcpy(out, bytes + next.fetch_add(count) * width, count * width);
  }
};
