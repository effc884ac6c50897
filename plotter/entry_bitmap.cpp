#include "plotter/entry_bitmap.h"

#include <cstring>

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
  uint64_t count = 0;
  for (uint64_t g = 0; g < rankedGroups; ++g) {
    ranks[g] = count;
    const uint64_t end = (g + 1) * kWordsPerRank < kWords ? (g + 1) * kWordsPerRank : kWords;
    for (uint64_t w = g * kWordsPerRank; w < end; ++w) count += std::popcount(words[w]);
  }
  total = count;
  buffers->flag = 1;
}
