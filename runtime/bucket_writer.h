#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "runtime/arena_buffer.h"
#include "runtime/bucket_sink.h"

// Per-worker staging writer: entries destined for one bucket collect in a slot and reach the
// sink 64 at a time, so the sink's shared reservation happens once per 64 entries. Used by one
// thread at a time. Its owner gives it a staging buffer of kBufferBytes (AllocateBuffer), in
// which slot s starts at byte s * 2048 whatever the entry width; the engines' memory estimates
// count exactly that size.
template <uint32_t Slots>
struct BucketWriter {
  static constexpr uint32_t kSlots = Slots;
  static constexpr uint64_t kSlotStride = 2048;
  static constexpr uint64_t kSlotEntries = 64;
  static constexpr uint64_t kBufferBytes = Slots * kSlotStride;

  BucketSink* sink = nullptr;
  uint64_t counts[Slots] = {};
  ArenaBuffer<uint8_t> buffer;

  void AllocateBuffer(MemoryArena& arena) { buffer.Allocate(arena, kBufferBytes, 64); }

  uint8_t* Slot(uint64_t slot) { return buffer.Data() + slot * kSlotStride; }

  // Copies one entry of Width bytes into the slot; the 64th entry hands the slot on.
  template <size_t Width>
  void Stage(uint64_t slot, const void* entry) {
    static_assert(Width * kSlotEntries <= kSlotStride);
    uint64_t n = counts[slot];
    uint8_t* base = Slot(slot);
    std::memcpy(base + n * Width, entry, Width);
    if (n == kSlotEntries - 1) {
      sink->Append(slot, base, kSlotEntries);
      counts[slot] = 0;
    } else {
      counts[slot] = n + 1;
    }
  }

  bool Empty() const {
    if (sink != nullptr) return false;
    for (uint64_t c : counts) {
      if (c != 0) return false;
    }
    return true;
  }

  // A writer left bound or holding entries from an earlier pass would mix two passes' data.
  void Bind(BucketSink* target) {
    if (sink != nullptr) throw std::runtime_error("628B520A");
    for (uint64_t c : counts) {
      if (c != 0) throw std::runtime_error("2CE9ACE7");
    }
    sink = target;
  }

  // Hands every partly filled slot to the sink in slot order, then unbinds.
  void Flush() {
    if (sink == nullptr) throw std::runtime_error("0D86FEB5");
    for (uint64_t s = 0; s < Slots; ++s) {
      if (counts[s] != 0) {
        sink->Append(s, Slot(s), counts[s]);
        counts[s] = 0;
      }
    }
    sink = nullptr;
  }
};
