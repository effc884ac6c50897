#pragma once

#include <bit>
#include <cstdint>

#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"

// How set bits are counted: with the processor's popcount instruction, or with portable code
// (a library call on the baseline instruction set).
enum class BitCount { kPortable, kInstruction };

// The instruction where this processor has it, decided once; the portable count when
// VARNOK_SIMD asks for the portable kernels.
BitCount FastestBitCount();
bool BitCountSupported(BitCount how);
// Set bits of words[0, n).
uint64_t CountBits(const uint64_t* words, uint64_t n, BitCount how);

// One "used" bit per entry of a table (2^32 bits), with a running count of set bits per 4096 bits
// so that the rank of a position costs at most 64 popcounts. Only the first `dirtyWords` words
// can hold set bits; clearing, ranking and saving stop there, so a small table never pays for
// the whole 512 MiB.
struct EntryBitmap {
  static constexpr uint64_t kWords = EntryBuffers::kBitmapWords;
  static constexpr uint64_t kWordsPerRank = 64;

  ArenaPtr<EntryBuffers> buffers;
  uint64_t total = 0;
  uint64_t dirtyWords = 0;
  uint64_t rankedGroups = 0;

  uint64_t* Words() const { return buffers->bitmap.Data(); }
  uint64_t* Ranks() const { return buffers->scratch.Data(); }
  bool Ranked() const { return buffers->flag != 0; }

  // Widens the range that may hold set bits to the first `entries` bits.
  void Cover(uint64_t entries) {
    const uint64_t words = (entries + 63) / 64;
    if (words > dirtyWords) dirtyWords = words < kWords ? words : kWords;
  }
  void Clear();
  void Rank();
};

// Both buffers come from `arena`; the bitmap starts clear.
EntryBitmap NewEntryBitmap(MemoryArena& arena);

// Ranks of ascending positions against a ranked bitmap: each word is counted once over a run.
class RunningRank {
 public:
  explicit RunningRank(const EntryBitmap& bitmap) : bitmap_(&bitmap) {}

  // The number of set bits below p. Inlined into each caller, so that a caller built for the
  // popcount instruction counts with it.
  [[gnu::always_inline]] uint64_t operator()(uint64_t p) {
    const uint64_t* words = bitmap_->Words();
    const uint64_t word = p >> 6;
    if (word != word_) {
      const uint64_t group = p >> 12;
      if (group >= bitmap_->rankedGroups) return bitmap_->total;
      uint64_t from = group * EntryBitmap::kWordsPerRank;
      if (word_ != kNone && word_ >= from && word_ < word) {
        base_ += std::popcount(words[word_]);
        from = word_ + 1;
      } else {
        base_ = bitmap_->Ranks()[group];
      }
      for (uint64_t w = from; w < word; ++w) base_ += std::popcount(words[w]);
      word_ = word;
    }
    return base_ + std::popcount(words[word] & ((uint64_t{1} << (p & 63)) - 1));
  }

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  const EntryBitmap* bitmap_;
  uint64_t word_ = kNone;
  uint64_t base_ = 0;
};
