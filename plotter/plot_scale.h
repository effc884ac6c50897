#pragma once

#include <cstdint>

#include "chia/bc_group.h"

// A thinning of the whole plot pipeline so that tests can run it end to end at a small size.
// Production is {0, 142096}: every figure and every value then equals a full-size plot's. With
// d > 0 each table keeps about 2^(32-d) entries: F1 evaluates one ChaCha8 block in 2^d, every
// split of a y into bucket and group squeezes the local group into `groups` = 142096 >> d groups
// (so each group keeps its usual population), and the sizes derived from entry counts shrink by
// 2^d. The scale is passed in from outside and never stored in a file.
struct PlotScale {
  uint32_t d = 0;
  uint64_t groups = kGroupsPerBucket;

  static constexpr uint32_t kMaxShift = 16;

  // Raises "5E0B7A14" for a shift above kMaxShift.
  static PlotScale WithShift(uint32_t shift);
  static constexpr PlotScale Production() { return {}; }

  bool IsProduction() const { return d == 0; }

  // ThinY with this scale's groups; the identity at d = 0. Rounding down keeps every group
  // inside its bucket's regions.
  uint64_t RemapY(uint64_t y) const { return d == 0 ? y : ThinY(y, groups); }

  // Whether F1 evaluates ChaCha8 block n (16 values of x); every x of a kept block is kept.
  bool KeepsF1Block(uint64_t block) const { return (block & ((uint64_t{1} << d) - 1)) == 0; }

  // A size or count derived from entry counts, thinned with the tables.
  uint64_t Shrink(uint64_t value) const { return value >> d; }

  // Bytes of one temp-file stream block: 1 MiB thinned, at least one 4096-byte I/O unit.
  uint64_t StreamBlockBytes() const {
    const uint64_t bytes = (uint64_t{1} << 20) >> d;
    return bytes < 4096 ? 4096 : bytes;
  }
};

inline bool operator==(const PlotScale& a, const PlotScale& b) {
  return a.d == b.d && a.groups == b.groups;
}
