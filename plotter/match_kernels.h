#pragma once

#include <cstdint>

#include "chia/find_matches.h"
#include "plotter/plot_scale.h"
#include "runtime/bucket_writer.h"

// The matching kernels of forward propagation. Each is the body of one task of a 256-task job
// over the 256 in-memory buckets of one input bucket, sorted by BC group: it matches the group
// pairs (g, g + 1) of its share, computes the next table's f and metadata with Fx, and stages
// each new entry into the 128-slot writer of the worker running it, by the entry's stream
// bucket.

// What every task of one matching job shares.
struct MatchJob {
  uint8_t* const* data = nullptr;         // 256 in-memory buckets, in group order
  const uint64_t* groupStart = nullptr;   // 256 x 556
  const uint64_t* groupLength = nullptr;  // 256 x 556
  uint64_t inputBucket = 0;
  uint64_t groupSlots = 0;  // the pairs (g, g + 1), g below groupSlots - 1, split over the tasks
  PlotScale scale;
  uint8_t level = 0;     // x prefixes keep 16 - level bits
  uint64_t rangeIn = 1;  // r_in: values per stream bucket
};

// `gather` holds two groups of 8-byte keys, for the record widths the finder does not scan.
using MatchKernel = void (*)(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                             uint8_t* gather, uint64_t task);

// Group slots a job splits: all 256 x 556 at production, the thinned groups otherwise.
uint64_t MatchGroupSlots(const PlotScale& scale);

// 8 -> 12: f2, {K, x left, x right}, staged by the next bucket.
void MatchBucketAndHash(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                        uint8_t* gather, uint64_t task);
// 12 -> 28: f3, the four x as metadata, the code of their prefixes as value.
void MatchBucketWide(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                     uint8_t* gather, uint64_t task);
// 24 -> 28 (f4), 24 -> 24 (f5), 20 -> 20 (f6): the line point of the parents as value.
void MatchBucketFx4(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                    uint8_t* gather, uint64_t task);
void MatchBucketFx5(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                    uint8_t* gather, uint64_t task);
void MatchBucket(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                 uint8_t* gather, uint64_t task);
// 16 -> 12: K = the 32-bit f7, V = the line point with a top byte of 0.
void MatchAndHashTable7(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                        uint8_t* gather, uint64_t task);

// Table values and their ranges.
// The code of four x prefixes of 16 - level bits, in any order.
uint64_t PrefixCode(const uint32_t x[4], uint8_t level);
// x (x - 1) / 2 + y for x = max(p, q), y = min(p, q), exact in 64 bits.
uint64_t LinePoint(uint64_t p, uint64_t q);
// The largest prefix code at `level`; "8D027517" when the prefixes would exceed 16 bits.
uint64_t PrefixValueRange(uint8_t level);
// The largest line point of two distinct indexes below `entries`.
uint64_t LinePointRange(uint64_t entries);

// R, r_in and r_mem as the first temp header keeps them. r_in is chosen so that R itself still
// lies in stream bucket 127.
struct ValueRanges {
  uint64_t range;
  uint64_t rangeIn;
  uint64_t rangeMem;
};
ValueRanges ComputeValueRanges(uint64_t range);
