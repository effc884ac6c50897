#include "plotter/entry_bitmap.h"

#include <cstring>

#include "chia/simd_level.h"

namespace {

[[gnu::always_inline]] inline uint64_t CountLoop(const uint64_t* words, uint64_t n) {
  uint64_t count = 0;
  for (uint64_t w = 0; w < n; ++w) count += std::popcount(words[w]);
  return count;
}

[[gnu::target("popcnt")]] uint64_t CountWithInstruction(const uint64_t* words, uint64_t n) {
  return CountLoop(words, n);
}

uint64_t CountPortably(const uint64_t* words, uint64_t n) { return CountLoop(words, n); }

}  // namespace

bool BitCountSupported(BitCount how) {
  __builtin_cpu_init();
  return how == BitCount::kPortable || __builtin_cpu_supports("popcnt");
}

BitCount FastestBitCount() {
  static const BitCount kChosen =
      BestSimdLevel() != SimdLevel::kPortable && BitCountSupported(BitCount::kInstruction)
          ? BitCount::kInstruction
          : BitCount::kPortable;
  return kChosen;
}

uint64_t CountBits(const uint64_t* words, uint64_t n, BitCount how) {
  return how == BitCount::kInstruction ? CountWithInstruction(words, n) : CountPortably(words, n);
}

EntryBitmap NewEntryBitmap(MemoryArena& arena) {
  EntryBitmap bitmap;
  bitmap.buffers = NewEntryBuffers(arena, arena);
  return bitmap;
}

void EntryBitmap::Clear() {
  std::memset(Words(), 0, dirtyWords * sizeof(uint64_t));
  dirtyWords = 0;
  total = 0;
  rankedGroups = 0;
  buffers->flag = 0;
}

void EntryBitmap::Rank() {
  const uint64_t* words = Words();
  uint64_t* ranks = Ranks();
  rankedGroups = (dirtyWords + kWordsPerRank - 1) / kWordsPerRank;
  const BitCount how = FastestBitCount();
  uint64_t count = 0;
  for (uint64_t g = 0; g < rankedGroups; ++g) {
    ranks[g] = count;
    const uint64_t end = (g + 1) * kWordsPerRank < kWords ? (g + 1) * kWordsPerRank : kWords;
    count += CountBits(words + g * kWordsPerRank, end - g * kWordsPerRank, how);
  }
  total = count;
  buffers->flag = 1;
}
