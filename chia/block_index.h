#pragma once

#include <cstdint>

// The compact lookup that locates the park holding a key (a position, or a value divided by the
// table's index divisor). The layout is the on-disk one: the scale, then 256 correction pairs.
struct BlockIndexPair {
  int16_t low;
  int16_t high;
};

struct BlockIndex {
  uint64_t scale;
  BlockIndexPair pairs[256];
};
static_assert(sizeof(BlockIndex) == 1032);

// A pair that no park's guess reached while the index was built (tables of fewer than 256 parks
// always leave some). It names no park, and it is the only pair stored with low above high.
inline constexpr BlockIndexPair kUntouchedPair{1, 0};

constexpr bool IsUntouchedPair(BlockIndexPair pair) {
  return pair.low == kUntouchedPair.low && pair.high == kUntouchedPair.high;
}

// Parks [first, end) of a table of `parkCount` parks that may hold `key`; empty when the table
// has no parks or the correction pair names no park.
struct ParkRange {
  uint64_t first;
  uint64_t end;
};

inline uint64_t GuessPark(const BlockIndex& index, uint64_t parkCount, uint64_t key) {
  const uint64_t guess =
      static_cast<uint64_t>((static_cast<unsigned __int128>(key) * index.scale) >> 64);
  return guess < parkCount - 1 ? guess : parkCount - 1;
}

inline ParkRange FindParkRange(const BlockIndex& index, uint64_t parkCount, uint64_t key) {
  if (parkCount == 0) return {0, 0};
  const uint64_t guess = GuessPark(index, parkCount, key);
  const BlockIndexPair pair = index.pairs[(guess * 256) / parkCount];
  const int64_t first = static_cast<int64_t>(guess) + pair.low;
  const int64_t last = static_cast<int64_t>(guess) + pair.high;
  const uint64_t begin = first < 0 ? 0 : static_cast<uint64_t>(first);
  if (last < 0 || static_cast<uint64_t>(last) < begin) return {0, 0};
  const uint64_t end = static_cast<uint64_t>(last) + 1 < parkCount ? last + 1 : parkCount;
  return {begin < end ? begin : end, end};
}
