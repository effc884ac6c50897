#pragma once

#include <cstdint>

#include "plotter/plot_scale.h"
#include "runtime/multi_file_stream.h"

// What the client core hands the plot engine, and the memory and temp-file arithmetic it plans a
// plot with before any engine exists. Every size here follows the plot scale; at production
// scale each equals the figures a full-size plot is planned with.

struct PlotEngineSettings {
  uint64_t threadCount = 1;   // plotting worker threads, at least 1
  uint64_t memoryBudget = 0;  // bytes of the plotting arena
  uint8_t tempFileLimit = 1;  // 1..16
  PlotScale scale;            // production unless a test thins the plot
};

inline constexpr uint64_t kMemoryBuckets = 256;
inline constexpr uint64_t kGroupsPerMemoryBucket = 556;  // 256 x 556 covers the 142,096 groups
inline constexpr uint64_t kWidestEntryBytes = 28;
inline constexpr uint64_t kTempHeadBytes = 8192;
inline constexpr uint64_t kStreamBlockBookkeeping = 128;
inline constexpr uint64_t kMinStreamBlocks = 1024;

// Entries in-memory bucket b holds: 169,096 for bucket 0 and 159,096 for the others at
// production scale. A thinned plot keeps whole groups, so the buckets that take groups keep
// their full group population while every bucket sees only a thinned share by value.
uint64_t MemoryBucketCapacity(uint64_t bucket, const PlotScale& scale);

// Bytes of the worst bucket of the widest entry: the size of one sort scratch area.
uint64_t MemoryBucketBytes(const PlotScale& scale);

// Entries one input bucket may hold (35,231,921): the park-value queue's capacity.
uint64_t InputBucketBound(const PlotScale& scale);

// The spare entries a bucket area keeps over its expected count (65,536 at production). A
// bucket's count spreads with the square root of its size, so thinning divides the margin by
// the square root of the thinning, keeping it many spreads wide.
uint64_t BucketMargin(const PlotScale& scale);

// Plotting memory one engine needs besides its temp-file stream. "20FC6FEB" for no threads,
// "C961616D" for a temp-file limit above 16 (0 is accepted).
uint64_t EstimateJobMemory(const PlotEngineSettings& settings);

// The estimate plus the smallest stream the engine can run: 1,024 blocks with their bookkeeping.
uint64_t RequiredJobMemory(const PlotEngineSettings& settings);

// Stream blocks the budget leaves over the estimate; 0 when the budget does not reach it.
uint64_t StreamBlockCount(const PlotEngineSettings& settings);

// Bytes of one temp-file region (the 128 bucket areas of one direction of data flow) for
// `files` temp files, a whole number of stream blocks. "2A474139" above 16 files, "6E1D0B93"
// for none.
uint64_t BucketRegionBytes(uint64_t files, const PlotScale& scale);

// Size of each temp file: the head and the park-encoder state area, then both regions.
uint64_t TempFileBytes(uint64_t files, const PlotScale& scale);

// The 128 bucket areas of `region` (0 or 1) for entries of `entryBytes`: sized from `counts`
// (the production table of expected bucket counts, thinned here) or, when null, all alike for
// the largest bucket. "4AA18EC96" for a region above 1, "2A474139" / "6E1D0B93" as above,
// "1B8E5D27" for an entry size of 0 or larger than a block.
void LayoutBuckets(uint64_t files, uint64_t entryBytes, uint8_t region, const uint64_t* counts,
                   BucketRegion* out, const PlotScale& scale);
