#pragma once

#include <cstdint>

#include "runtime/bucket_writer.h"

// Kernels that spread one input bucket over the 256 in-memory buckets, sort an in-memory bucket
// by BC group, and write sorted in-memory buckets into the 128 buckets of the next step. Each is
// the body of one task of a 256-task job: it gets the task index and the staging writer of the
// worker thread running it.
//
// Entry words: K = u32 at byte 0 (bits 0..13 y mod kBC, bits 14..31 the BC group within the
// input bucket); V = u64 at byte 4 (low 56 bits a value relative to its bucket, top 7 bits the
// next step's bucket).

// Hands out the entries of the input bucket being distributed, to any thread, in any order.
class EntrySource {
 public:
  virtual void TakeEntries(void* out, uint64_t count) = 0;

 protected:
  ~EntrySource() = default;
};

// What every task of one distribution job shares.
struct DistributionJob {
  EntrySource* source = nullptr;
  uint64_t total = 0;       // entries of the input bucket
  uint64_t groupLimit = 0;  // local groups per input bucket: the plot scale's groups
  uint64_t valueRange = 0;  // values per in-memory bucket, for the by-value kernels
};

inline constexpr uint64_t kTakeRound = 1024;

// Entries task k of 256 takes: floor((k+1)n/256) - floor(kn/256).
inline uint64_t TaskShare(uint64_t total, uint64_t task) {
  const auto n = static_cast<unsigned __int128>(total);
  return static_cast<uint64_t>((n * (task + 1)) >> 8) - static_cast<uint64_t>((n * task) >> 8);
}

using DistributionKernel = void (*)(const DistributionJob& job, BucketWriter<256>& writer,
                                    uint64_t task);

// By group (in-memory bucket g / 556, local group rewritten to g mod 556): u32 key for widths 8
// and 12, u64 key (bits 32..63 kept) for 16, 20, 24. A group at or beyond the job's group limit
// or a y part above 15,112 fails with "invalid temp file: " and the width's code.
void DistributeEntries8(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries12B(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries16(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries20B(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries24B(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
// By value: bucket (V mod 2^56) / r, V's low 56 bits become (V mod 2^56) mod r; a bucket above
// 255 fails with "invalid temp file: 9EB17911".
void DistributeEntries12(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries20(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries24(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
void DistributeEntries28(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);
// One u64 v to bucket v >> 49, unchanged; above 255 fails with "invalid temp file: 9D65BCE2".
void ScatterToBuckets(const DistributionJob& job, BucketWriter<256>& writer, uint64_t task);

// Raises "invalid temp file: 5C3A0E97" for a value range of 0, which no header may hold.
void CheckValueRange(uint64_t valueRange);

// The sorted in-memory buckets of a table: entry j of bucket b gets the table index
// start[b] + j and is staged into the 128-slot writer by its next-step bucket.
struct RegroupJob {
  uint8_t* const* data = nullptr;  // 256 buckets
  const uint64_t* counts = nullptr;
  const uint64_t* start = nullptr;
};

// 12 -> 8: slot K >> 25, ((K mod 2^25) << 32) | idx. 20 -> 16, 24 -> 20, 28 -> 24: slot V >> 57,
// (idx << 32) | K, then the bytes from byte 12. An index beyond 32 bits fails with "3D9A6E15".
void RegroupEntries12(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket);
void RegroupEntries20(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket);
void RegroupEntries24(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket);
void RegroupEntries28(const RegroupJob& job, BucketWriter<128>& writer, uint64_t bucket);

// Start table of the regroup job: start[b] = base + the counts of buckets 0..b-1.
void BucketStarts(const uint64_t* counts, uint64_t base, uint64_t* start);

// Counting sort of one in-memory bucket by its 556 BC groups (group = K >> 14 for widths 8 and
// 12, bits 14..30 of the first u64 for 16, 20 and 24), through `scratch` (room for `count`
// records). Writes start[g] and length[g] for every group. The order within a group is not
// defined. A group above 555 fails with "invalid temp file: C2D541B9".
void SortBucketRecords8(void* data, uint64_t count, void* scratch, uint64_t* start,
                        uint64_t* length);
void SortBucketRecords12(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length);
void SortBucketRecords16(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length);
void SortBucketRecords20(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length);
void SortBucketRecords24(void* data, uint64_t count, void* scratch, uint64_t* start,
                         uint64_t* length);
