#pragma once

#include <cstdint>

// Symbol statistics of one stored table: how many low bits of each delta are stored raw, and the
// normalized counts (summing to 16,384, -1 counting as one slot) of the 256 high-part symbols.
// The layout is the on-disk one (little-endian, 520 bytes).
struct DeltaCodingTable {
  uint8_t rawBits;
  uint8_t reserved[7];
  int16_t counts[256];
};
static_assert(sizeof(DeltaCodingTable) == 520);

// Fills `table` for sorted values whose mean gap is `expectedGap`. Leaves the reserved bytes
// untouched. Throws "6D51514F" for a gap of 0 and "2C801DE8" when normalisation fails.
void BuildDeltaCodingTable(uint64_t expectedGap, DeltaCodingTable& table);
