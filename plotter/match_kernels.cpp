#include "plotter/match_kernels.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "chia/bc_group.h"
#include "chia/fx.h"
#include "plotter/engine_memory.h"
#include "runtime/combination_tables.h"

namespace {

constexpr uint64_t kLow56 = (uint64_t{1} << 56) - 1;

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <typename T>
void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

[[noreturn]] void Fail(const char* code) {
  throw std::runtime_error(std::string("invalid temp file: ") + code);
}

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

// Matches the task's share of group pairs; `emit` makes and stages the entry of one pair from
// the left entry's y and both records.
template <uint64_t W, class Emit>
void MatchShare(const MatchJob& job, MatchScratch& scratch, uint8_t* gather, uint64_t task,
                const Emit& emit) {
  const uint64_t pairs = job.groupSlots - 1;
  const uint64_t first = task * pairs / kMemoryBuckets;
  const uint64_t last = (task + 1) * pairs / kMemoryBuckets;
  MatchPair found[kMatchNodeCapacity];
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
      const uint8_t* b = right + found[k].right * W;
      emit(groupBase + (Load<uint32_t>(a) & 0x3FFF), a, b);
    }
  }
}

uint32_t NativeX(const uint8_t* bigEndian) { return __builtin_bswap32(Load<uint32_t>(bigEndian)); }

}  // namespace

uint64_t MatchGroupSlots(const PlotScale& scale) {
  return scale.IsProduction() ? kMemoryBuckets * kGroupsPerMemoryBucket : scale.groups;
}

void MatchBucketAndHash(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                        uint8_t* gather, uint64_t task) {
  MatchShare<8>(job, scratch, gather, task, [&](uint64_t y, const uint8_t* a, const uint8_t* b) {
    const BcKey next = NextKey(job, ComputeF2(y, NativeX(a + 4), NativeX(b + 4)));
    uint8_t out[12];
    Store<uint32_t>(out, next.key);
    std::memcpy(out + 4, a + 4, 4);
    std::memcpy(out + 8, b + 4, 4);
    writer.Stage<12>(next.bucket, out);
  });
}

void MatchBucketWide(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                     uint8_t* gather, uint64_t task) {
  MatchShare<12>(job, scratch, gather, task, [&](uint64_t y, const uint8_t* a, const uint8_t* b) {
    const BcKey next = NextKey(job, Fx3Or7(a + 4, b + 4, y));
    const uint32_t x[4] = {NativeX(a + 4), NativeX(a + 8), NativeX(b + 4), NativeX(b + 8)};
    uint8_t meta[16];
    std::memcpy(meta, a + 4, 8);
    std::memcpy(meta + 8, b + 4, 8);
    StageValued<28>(job, writer, next.key, next.bucket, PrefixCode(x, job.level), meta);
  });
}

void MatchBucketFx4(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                    uint8_t* gather, uint64_t task) {
  MatchShare<24>(job, scratch, gather, task, [&](uint64_t y, const uint8_t* a, const uint8_t* b) {
    uint8_t meta[16];
    const BcKey next = NextKey(job, Fx4(a + 8, b + 8, y, meta));
    StageValued<28>(job, writer, next.key, next.bucket, LinePoint(ParentIndex(a), ParentIndex(b)),
                    meta);
  });
}

void MatchBucketFx5(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                    uint8_t* gather, uint64_t task) {
  MatchShare<24>(job, scratch, gather, task, [&](uint64_t y, const uint8_t* a, const uint8_t* b) {
    uint8_t meta[12];
    const BcKey next = NextKey(job, Fx5(a + 8, b + 8, y, meta));
    StageValued<24>(job, writer, next.key, next.bucket, LinePoint(ParentIndex(a), ParentIndex(b)),
                    meta);
  });
}

void MatchBucket(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                 uint8_t* gather, uint64_t task) {
  MatchShare<20>(job, scratch, gather, task, [&](uint64_t y, const uint8_t* a, const uint8_t* b) {
    uint8_t meta[8];
    const BcKey next = NextKey(job, Fx6(a + 8, b + 8, y, meta));
    StageValued<20>(job, writer, next.key, next.bucket, LinePoint(ParentIndex(a), ParentIndex(b)),
                    meta);
  });
}

void MatchAndHashTable7(const MatchJob& job, BucketWriter<128>& writer, MatchScratch& scratch,
                        uint8_t* gather, uint64_t task) {
  MatchShare<16>(job, scratch, gather, task, [&](uint64_t y, const uint8_t* a, const uint8_t* b) {
    // Table 6 keeps its metadata as a native u64; f7 hashes it big-endian.
    const uint64_t left = __builtin_bswap64(Load<uint64_t>(a + 8));
    const uint64_t right = __builtin_bswap64(Load<uint64_t>(b + 8));
    const auto f7 = static_cast<uint32_t>(Fx3Or7(&left, &right, y) >> kExtraBits);
    StageValued<12>(job, writer, f7, 0, LinePoint(ParentIndex(a), ParentIndex(b)), nullptr);
  });
}

uint64_t PrefixCode(const uint32_t x[4], uint8_t level) {
  const uint32_t shift = 16 + level;
  uint64_t p[4];
  for (int i = 0; i < 4; ++i) p[i] = shift < 32 ? x[i] >> shift : 0;
  std::sort(p, p + 4);
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
  return {range, rangeIn, std::max<uint64_t>(1, (rangeIn + 254) >> 8)};
}
