#pragma once

#include <cstdint>
#include <utility>

#include "chia/find_matches.h"
#include "runtime/arena_buffer.h"
#include "runtime/bucket_writer.h"
#include "runtime/memory_arena.h"

// Per-thread working records shared by the plot engine and the proof-search engine. Each is an
// arena-placed descriptor owning arena blocks; std::bad_alloc when an arena cannot serve, with
// nothing left allocated.

// A 128-slot staging writer, unbound and empty, from `objectArena`; its 262,144-byte staging
// buffer from `bufferArena` (left as it is, or zero-filled by the second kind).
ArenaPtr<BucketWriter<128>> AllocateBlockBuffer(MemoryArena& objectArena, MemoryArena& bufferArena);
ArenaPtr<BucketWriter<128>> AllocateBlockBufferZeroed(MemoryArena& objectArena,
                                                      MemoryArena& bufferArena);

// Match-finder scratch, cleared as the finder expects it. Its tables live inside the record, so
// the whole record comes from `bufferArena`; `objectArena` is kept for symmetry with the writers.
ArenaPtr<MatchScratch> AllocateMatchScratch(MemoryArena& objectArena, MemoryArena& bufferArena);

// Gives back the blocks a descriptor owns, then the descriptor, each to its own arena.
void ReleaseBufferDescriptor(ArenaPtr<BucketWriter<128>>& descriptor);

// A block of plain bytes, from `arena`.
ArenaPtr<uint8_t> AllocateBlock(MemoryArena& arena, uint64_t bytes, uint64_t alignment = 64);

// An arena-held array of owned arena objects. Slots start empty; destruction (or Destroy) ends
// every element that is set, last first, each to its own arena, then the array itself.
template <typename T>
class OwnedArray {
 public:
  OwnedArray() = default;
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  ~OwnedArray() { Destroy(); }

  // Raises "D6181804" when an array is already held.
  void Allocate(MemoryArena& arena, uint64_t count) {
    slots_.Allocate(arena, count);
    slots_.Clear();
  }

  void Set(uint64_t index, ArenaPtr<T> object) {
    Slot& slot = slots_[index];
    Reset(slot);
    slot.arena = object.get_deleter().arena;
    slot.object = object.release();
  }

  T* operator[](uint64_t index) const { return slots_[index].object; }
  uint64_t Count() const { return slots_.Count(); }
  bool Held() const { return slots_.Data() != nullptr; }

  void Destroy() {
    for (uint64_t i = slots_.Count(); i > 0; --i) Reset(slots_[i - 1]);
    slots_.Release();
  }

 private:
  struct Slot {
    MemoryArena* arena;
    T* object;
  };

  static void Reset(Slot& slot) {
    if (slot.object == nullptr) return;
    ArenaDeleter<T>{slot.arena}(slot.object);
    slot = Slot{nullptr, nullptr};
  }

  ArenaBuffer<Slot> slots_;
};

// The named destroyers of the engines' per-thread arrays.
void DestroyBucketWriterArray128(OwnedArray<BucketWriter<128>>& array);
void DestroyBucketWriterArray256(OwnedArray<BucketWriter<256>>& array);
void DestroyWorkerBufferArray(OwnedArray<MatchScratch>& array);  // match scratch
void DestroyBufferSetArray(OwnedArray<uint8_t>& array);          // sort scratch blocks
