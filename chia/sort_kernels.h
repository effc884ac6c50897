#pragma once

#include <cstdint>

// Sorting kernels for the fixed-width records of the plot engine, the finalization and the
// proof recomputation. None allocates or locks. The radix sorts other than
// RadixSortEntriesByGroup keep records of equal keys in their input order; the small sorts do
// not. Histograms live on the stack.
//
// Radix sorts: (data, count, scratch with room for count records, count again). The sorted
// result is in data, except for RadixSortU32, whose result is in the second array.
// Small sorts: (data, count, unused) - quicksort down to 32 records, then insertion sort.
//
// "56-bit key at byte 4" means the low 56 bits of the little-endian u64 at record byte 4.

void RadixSortU64(uint64_t* data, uint64_t count, uint64_t* scratch, uint64_t = 0);
void RadixSortRecords28(void* data, uint64_t count, void* scratch, uint64_t = 0);
void RadixSortRecords24(void* data, uint64_t count, void* scratch, uint64_t = 0);
void RadixSortRecords20(void* data, uint64_t count, void* scratch, uint64_t = 0);
void RadixSortRecords12(void* data, uint64_t count, void* scratch, uint64_t = 0);
// 8-byte entries keyed by (u32 at byte 4) >> 14, in two 9-bit digits.
void RadixSortEntriesByGroup(void* data, uint64_t count, void* scratch, uint64_t = 0);
// (u32, u32) records keyed by the second word.
void RadixSortPairsBySecond(void* data, uint64_t count, void* scratch, uint64_t = 0);
// Result in `scratch`; `data` ends unspecified.
void RadixSortU32(uint32_t* data, uint64_t count, uint32_t* scratch, uint64_t = 0);
// (u32, u32) records keyed by first word, then second word.
void RadixSortPairs(void* data, uint64_t count, void* scratch, uint64_t = 0);

void SmallSortU64(uint64_t* data, uint64_t count, void* = nullptr);
void SmallSortRecords28(void* data, uint64_t count, void* = nullptr);
void SmallSortRecords24(void* data, uint64_t count, void* = nullptr);
void SmallSortRecords20(void* data, uint64_t count, void* = nullptr);
void SmallSortRecords12(void* data, uint64_t count, void* = nullptr);
void SmallSortEntriesByGroup(void* data, uint64_t count, void* = nullptr);
void SmallSortPairsBySecond(void* data, uint64_t count, void* = nullptr);
void SmallSortU32(uint32_t* data, uint64_t count, void* = nullptr);
void SmallSortPairs(void* data, uint64_t count, void* = nullptr);
// 16-byte table-2 entries keyed by (u64 at byte 8) >> 14, the global BC group.
void SortMatchPairs(void* data, uint64_t count, void* = nullptr);
// Keyed by (u32 at byte 0) >> 14.
void SmallSortByGroup8(void* data, uint64_t count, void* = nullptr);
void SmallSortByGroup12(void* data, uint64_t count, void* = nullptr);
// Keyed by (u64 at byte 0 >> 14) & 0x1FFFF.
void SmallSortByGroup16(void* data, uint64_t count, void* = nullptr);
void SmallSortByGroup20(void* data, uint64_t count, void* = nullptr);
void SmallSortByGroup24(void* data, uint64_t count, void* = nullptr);
