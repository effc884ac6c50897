#pragma once

#include <cstdint>

#include "chia/bc_group.h"

// f2..f7 for k = 32: f = the first 38 bits of BLAKE3 over y || left metadata || right metadata,
// bit-packed big-endian and zero-padded to whole bytes. Metadata storage forms:
//   table 2 (in f3, f7 and table 3's): 8 bytes, x left then x right, each big-endian;
//   table 3: 16 bytes big-endian (four x values);
//   table 4: two native u64, high part first;
//   table 5: a native u64 (high 64 bits) then a native u32 (low 32 bits), 12 bytes;
//   table 6: one native u64.
// Pointers may be unaligned.

// f3 and f7: 64-bit metadata on each side, 21-byte input; returns f only.
uint64_t Fx3Or7(const void* left, const void* right, uint64_t y);

// f4: 128-bit big-endian metadata in; out = digest bits 38..101, 102..165 (table-4 form).
uint64_t Fx4(const void* left, const void* right, uint64_t y, void* out);

// f5: table-4 metadata in; out = digest bits 38..101 then 102..133 (table-5 form, 12 bytes).
uint64_t Fx5(const void* left, const void* right, uint64_t y, void* out);

// f6: table-5 metadata in; out = digest bits 38..101 (table-6 form).
uint64_t Fx6(const void* left, const void* right, uint64_t y, void* out);

// f2 over the x values of a matching F1 pair: 13-byte input. Table 2's metadata is
// (xLeft, xRight) collated.
uint64_t ComputeF2(uint64_t y, uint32_t xLeft, uint32_t xRight);

// One entry of a recomputed table 2: the x values of the matching pair, each big-endian, then
// the key f mod kBC | (global BC group of f) << 14.
struct F2Entry {
  uint32_t xLeftBigEndian;
  uint32_t xRightBigEndian;
  uint64_t key;
};
static_assert(sizeof(F2Entry) == 16);

inline uint64_t F2Key(uint64_t f) {
  uint64_t g = BcGroupOf(f);
  return g << 14 | (f - g * kBC);
}
