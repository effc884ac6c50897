#include "plotter/match_kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "chia/bc_group.h"
#include "chia/fx.h"
#include "chia/fx_batch.h"
#include "plotter/combination_tables.h"
#include "plotter/engine_memory.h"
#include "plotter/kernel_records.h"

namespace {

using kernel_records::Fail;
using kernel_records::Load;
using kernel_records::Store;

constexpr uint64_t kLow56 = (uint64_t{1} << 56) - 1;

// Key and next-step bucket of a 38-bit f, through the plot scale's group remap.
inline BcKey NextKey(const MatchJob& job, uint64_t f) { return SplitY(job.scale.RemapY(f)); }

// Stages {K, V, meta} into the stream bucket of `value`.
template <uint64_t Out>
void StageValued(const MatchJob& job, BucketWriter<128>& writer, uint32_t key, uint64_t nextBucket,
                 uint64_t value, const void* meta) {
  const uint64_t bucket = value / job.rangeIn;
  const uint64_t rest = value - bucket * job.rangeIn;
  if (bucket > 127) Fail("557F11BD");
  if (rest > kLow56) Fail("52CF5C3B");
  uint8_t out[Out];
  Store<uint32_t>(out, key);
  Store<uint64_t>(out + 4, nextBucket << 57 | rest);
  if constexpr (Out > 12) std::memcpy(out + 12, meta, Out - 12);
  writer.Stage<Out>(bucket, out);
}

// Parent index of a record of steps 3..6: the u32 above K.
inline uint64_t ParentIndex(const uint8_t* record) { return Load<uint32_t>(record + 4); }

// Widths the finder scans in place; 12 and 20 have their keys gathered into 8-byte records.
template <uint64_t W>
uint64_t FindPairs(MatchScratch& scratch, const uint8_t* left, uint64_t leftCount,
                   const uint8_t* right, uint64_t rightCount, uint32_t parity, uint8_t* gather,
                   MatchPair* out) {
  if constexpr (W == 8) {
    return FindMatches(scratch, left, leftCount, right, rightCount, parity, out,
                       kMatchNodeCapacity);
  } else if constexpr (W == 16) {
    return FindMatchesWide(scratch, left, leftCount, right, rightCount, parity, out,
                           kMatchNodeCapacity);
  } else if constexpr (W == 24) {
    return FindMatchesWideAlt(scratch, left, leftCount, right, rightCount, parity, out,
                              kMatchNodeCapacity);
  } else {
    uint8_t* leftKeys = gather;
    uint8_t* rightKeys = gather + leftCount * 8;
    for (uint64_t j = 0; j < leftCount; ++j) std::memcpy(leftKeys + j * 8, left + j * W, 4);
    for (uint64_t j = 0; j < rightCount; ++j) std::memcpy(rightKeys + j * 8, right + j * W, 4);
    return FindMatches(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                       kMatchNodeCapacity);
  }
}

// Pairs found but not yet hashed, in the order found: each kernel hashes them a batch at a time
// through the vector Fx functions, then stages their entries in that same order.
constexpr uint64_t kHashBatch = 256;

struct PairBatch {
  uint64_t count = 0;
  uint64_t y[kHashBatch];  // the left entry's
  const uint8_t* left[kHashBatch];
  const uint8_t* right[kHashBatch];
};

// Matches the task's share of group pairs; `flush` hashes and stages a full batch, and the
// partial one left at the end.
template <uint64_t W, class Flush>
void MatchShare(const MatchJob& job, MatchScratch& scratch, uint8_t* gather, uint64_t task,
                const Flush& flush) {
  const uint64_t pairs = job.groupSlots - 1;
  const uint64_t first = task * pairs / kMemoryBuckets;
  const uint64_t last = (task + 1) * pairs / kMemoryBuckets;
  MatchPair found[kMatchNodeCapacity];
  PairBatch batch;
  for (uint64_t g = first; g < last; ++g) {
    const uint64_t l = g, r = g + 1;
    const uint64_t leftCount = job.groupLength[l];
    const uint64_t rightCount = job.groupLength[r];
    if (leftCount == 0 || rightCount == 0) continue;
    const uint8_t* left = job.data[l / kGroupsPerMemoryBucket] + job.groupStart[l] * W;
    const uint8_t* right = job.data[r / kGroupsPerMemoryBucket] + job.groupStart[r] * W;
    const uint64_t n = FindPairs<W>(scratch, left, leftCount, right, rightCount,
                                    static_cast<uint32_t>(g & 1), gather, found);
    const uint64_t groupBase = (kGroupsPerBucket * job.inputBucket + g) * kBC;
    for (uint64_t k = 0; k < n; ++k) {
      const uint8_t* a = left + found[k].left * W;
      batch.y[batch.count] = groupBase + (Load<uint32_t>(a) & 0x3FFF);
      batch.left[batch.count] = a;
      batch.right[batch.count] = right + found[k].right * W;
      if (++batch.count == kHashBatch) {
        flush(batch);
        batch.count = 0;
      }
    }
  }
  if (batch.count != 0) flush(batch);
}

// Copies Bytes of metadata at `offset` in each pair's records into two packed arrays.
template <uint64_t Bytes>
void GatherMeta(const PairBatch& batch, uint64_t offset, uint8_t* left, uint8_t* right) {
  for (uint64_t i = 0; i < batch.count; ++i) {
    std::memcpy(left + i * Bytes, batch.left[i] + offset, Bytes);
    std::memcpy(right + i * Bytes, batch.right[i] + offset, Bytes);
  }
}

uint32_t NativeX(const uint8_t* bigEndian) { return __builtin_bswap32(Load<uint32_t>(bigEndian)); }

}  // namespace

uint64_t MatchGroupSlots(const PlotScale& scale) {
  return scale.IsProduction() ? kMemoryBuckets * kGroupsPerMemoryBucket : scale.groups;
}

void MatchBucketAndHash(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                        uint8_t* gather, uint64_t task) {
  MatchShare<8>(job, scratch, gather, task, [&](const PairBatch& batch) {
    uint32_t xLeft[kHashBatch], xRight[kHashBatch];
    uint64_t f[kHashBatch];
    for (uint64_t i = 0; i < batch.count; ++i) {
      xLeft[i] = NativeX(batch.left[i] + 4);
      xRight[i] = NativeX(batch.right[i] + 4);
    }
    ComputeF2Batch(batch.y, xLeft, xRight, batch.count, f);
    for (uint64_t i = 0; i < batch.count; ++i) {
      const BcKey next = NextKey(job, f[i]);
      uint8_t out[12];
      Store<uint32_t>(out, next.key);
      std::memcpy(out + 4, batch.left[i] + 4, 4);
      std::memcpy(out + 8, batch.right[i] + 4, 4);
      writer.Stage<12>(next.bucket, out);
    }
  });
}

void MatchBucketWide(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                     uint8_t* gather, uint64_t task) {
  MatchShare<12>(job, scratch, gather, task, [&](const PairBatch& batch) {
    uint8_t meta[2][kHashBatch * 8];
    uint64_t f[kHashBatch];
    GatherMeta<8>(batch, 4, meta[0], meta[1]);
    Fx3Or7Batch(batch.y, meta[0], meta[1], 8, batch.count, f);
    for (uint64_t i = 0; i < batch.count; ++i) {
      const uint8_t* a = batch.left[i];
      const uint8_t* b = batch.right[i];
      const BcKey next = NextKey(job, f[i]);
      const uint32_t x[4] = {NativeX(a + 4), NativeX(a + 8), NativeX(b + 4), NativeX(b + 8)};
      uint8_t out[16];
      std::memcpy(out, a + 4, 8);
      std::memcpy(out + 8, b + 4, 8);
      StageValued<28>(job, writer, next.key, next.bucket, PrefixCode(x, job.level), out);
    }
  });
}

// Steps 3..5: Fx over In bytes of metadata after each record's key and parent index, Out bytes
// out, the parents' line point as value.
template <uint64_t W, uint64_t In, uint64_t Out, auto Fx>
void MatchLinePointed(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                      uint8_t* gather, uint64_t task) {
  MatchShare<W>(job, scratch, gather, task, [&](const PairBatch& batch) {
    uint8_t meta[2][kHashBatch * In];
    uint8_t out[kHashBatch * Out];
    uint64_t f[kHashBatch];
    GatherMeta<In>(batch, 8, meta[0], meta[1]);
    Fx(batch.y, meta[0], meta[1], In, batch.count, f, out, Out, BestSimdLevel());
    for (uint64_t i = 0; i < batch.count; ++i) {
      const BcKey next = NextKey(job, f[i]);
      StageValued<12 + Out>(job, writer, next.key, next.bucket,
                            LinePoint(ParentIndex(batch.left[i]), ParentIndex(batch.right[i])),
                            out + i * Out);
    }
  });
}

void MatchBucketFx4(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                    uint8_t* gather, uint64_t task) {
  MatchLinePointed<24, 16, 16, Fx4Batch>(job, writer, scratch, gather, task);
}

void MatchBucketFx5(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                    uint8_t* gather, uint64_t task) {
  MatchLinePointed<24, 16, 12, Fx5Batch>(job, writer, scratch, gather, task);
}

void MatchBucket(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                 uint8_t* gather, uint64_t task) {
  MatchLinePointed<20, 12, 8, Fx6Batch>(job, writer, scratch, gather, task);
}

void MatchAndHashTable7(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                        uint8_t* gather, uint64_t task) {
  MatchShare<16>(job, scratch, gather, task, [&](const PairBatch& batch) {
    // Table 6 keeps its metadata as a native u64; f7 hashes it big-endian.
    uint64_t left[kHashBatch], right[kHashBatch], f[kHashBatch];
    for (uint64_t i = 0; i < batch.count; ++i) {
      left[i] = __builtin_bswap64(Load<uint64_t>(batch.left[i] + 8));
      right[i] = __builtin_bswap64(Load<uint64_t>(batch.right[i] + 8));
    }
    Fx3Or7Batch(batch.y, left, right, 8, batch.count, f);
    for (uint64_t i = 0; i < batch.count; ++i) {
      const auto f7 = static_cast<uint32_t>(f[i] >> kExtraBits);
      StageValued<12>(job, writer, f7, 0,
                      LinePoint(ParentIndex(batch.left[i]), ParentIndex(batch.right[i])), nullptr);
    }
  });
}

uint64_t PrefixCode(const uint32_t x[4], uint8_t level) {
  const uint32_t shift = 16 + level;
  uint64_t p[4];
  for (int i = 0; i < 4; ++i) p[i] = shift < 32 ? x[i] >> shift : 0;
  // Five compare-exchanges sort four values without a branch to mispredict.
  const auto order = [&p](int i, int j) {
    const uint64_t low = std::min(p[i], p[j]);
    p[j] = std::max(p[i], p[j]);
    p[i] = low;
  };
  order(0, 1);
  order(2, 3);
  order(0, 2);
  order(1, 3);
  order(1, 2);
  if (p[3] > 65535) throw std::runtime_error("8D027517");
  return EncodeCombination4({static_cast<uint32_t>(p[3]), static_cast<uint32_t>(p[2]),
                             static_cast<uint32_t>(p[1]), static_cast<uint32_t>(p[0])});
}

uint64_t LinePoint(uint64_t p, uint64_t q) {
  const uint64_t x = std::max(p, q), y = std::min(p, q);
  return std::max(x / 2 * (x - 1), (x - 1) / 2 * x) + y;
}

uint64_t PrefixValueRange(uint8_t level) {
  if (level > 16) throw std::runtime_error("8D027517");
  const uint32_t m = (uint32_t{1} << (16 - level)) - 1;
  return EncodeCombination4({m, m, m, m});
}

uint64_t LinePointRange(uint64_t entries) {
  const uint64_t n1 = entries - 1, n2 = entries - 2;
  return std::max(n1 / 2 * n2, n2 / 2 * n1) + n2;
}

ValueRanges ComputeValueRanges(uint64_t range) {
  if (range >= ~uint64_t{0} - 126) return {range, (uint64_t{1} << 57) - 1, uint64_t{1} << 49};
  const uint64_t rangeIn = (range >> 7) + 1;
  return {range, rangeIn, std::max<uint64_t>(1, (rangeIn + 255) >> 8)};
}
