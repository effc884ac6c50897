#include "chia/prefix_recompute.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "chia/chacha8.h"
#include "chia/sort_kernels.h"

namespace {

uint64_t FloorSqrt(uint64_t n) {
  auto r = static_cast<uint64_t>(std::sqrt(static_cast<double>(n)));
  while (r * r > n) --r;
  while ((r + 1) * (r + 1) <= n) ++r;
  return r;
}

uint64_t ValueCount(uint8_t maxLevel) { return uint64_t{4} << (16 + maxLevel); }

ThreadPool& ChoosePool(RecomputeContext& context, bool lowPriority) {
  if (lowPriority && context.lowPriorityPool != nullptr) return *context.lowPriorityPool;
  return *context.pool;
}

// The F1 phase's shared destination: the context's bucket arrays, reserved by compare-and-swap
// on each bucket's fill count. What does not fit is counted, so the caller can refuse the call.
class ProofBucketSink final : public BucketSink {
 public:
  explicit ProofBucketSink(RecomputeContext& context) : context_(context) {
    for (auto& fill : fills_) fill.store(0);
  }

  void Append(uint64_t bucket, const void* entries, uint64_t count) override {
    const uint64_t capacity = context_.bucketCapacity;
    uint64_t fill = fills_[bucket].load();
    uint64_t take = 0;
    do {
      take = std::min(count, capacity - std::min(fill, capacity));
    } while (!fills_[bucket].compare_exchange_weak(fill, fill + take));
    std::memcpy(context_.buckets[bucket] + fill, entries, take * sizeof(PrefixF1Entry));
    if (take < count) dropped_.fetch_add(count - take);
  }

  uint64_t Fill(uint64_t bucket) const { return fills_[bucket].load(); }
  uint64_t Dropped() const { return dropped_.load(); }

 private:
  RecomputeContext& context_;
  std::atomic<uint64_t> fills_[kPrefixBucketCount];
  std::atomic<uint64_t> dropped_{0};
};

// Part `part` of 128 of the F1 phase on worker `worker`: each prefix's ChaCha blocks in
// [part * B / 128, (part + 1) * B / 128), B = 2^(12 + level), staged by bucket.
void ComputeF1ForPrefixes(RecomputeContext& context, const uint32_t state[16], uint8_t level,
                          const uint32_t* prefixes, uint64_t prefixCount, uint64_t worker,
                          uint64_t part) {
  BucketWriter<kPrefixBucketCount>& writer = *context.writers[worker];
  const uint64_t blocksPerPrefix = uint64_t{1} << (12 + level);
  const uint64_t step = uint64_t{1} << context.scaleShift;
  const bool thinned = context.scaleGroups != kGroupsPerBucket;
  constexpr uint64_t kBatch = 32;
  alignas(64) uint32_t blocks[kBatch][16];

  for (uint64_t p = 0; p < prefixCount; ++p) {
    const uint64_t firstBlock = uint64_t{prefixes[p]} << (12 + level);
    // Only blocks whose number is a multiple of the step exist in a thinned plot.
    uint64_t begin = firstBlock + part * blocksPerPrefix / kPrefixBucketCount;
    const uint64_t end = firstBlock + (part + 1) * blocksPerPrefix / kPrefixBucketCount;
    begin = (begin + step - 1) / step * step;
    for (uint64_t n = begin; n < end;) {
      uint64_t count = 1;
      if (step == 1) {
        count = std::min(kBatch, end - n);
        ChaCha8Blocks(state, static_cast<uint32_t>(n), count, blocks[0]);
      } else {
        ChaCha8Block(state, static_cast<uint32_t>(n), blocks[0]);
      }
      for (uint64_t k = 0; k < count; ++k) {
        const auto x0 = static_cast<uint32_t>((n + k) << 4);
        for (uint32_t j = 0; j < 16; ++j) {
          const uint32_t x = x0 | j;
          uint64_t y = F1FromWord(blocks[k][j], x);
          if (thinned) y = ThinY(y, context.scaleGroups);
          const BcKey split = SplitY(y);
          const PrefixF1Entry entry{__builtin_bswap32(x), split.key};
          writer.Stage<sizeof(PrefixF1Entry)>(split.bucket, &entry);
        }
      }
      n += step == 1 ? count : step;
    }
  }
}

// f2 of every matching pair between the left run (group g) and the right run (group g + 1),
// appended to table 2.
void MatchAndComputeF2(RecomputeContext& context, const PrefixF1Entry* left, uint64_t leftCount,
                       const PrefixF1Entry* right, uint64_t rightCount, uint64_t leftGroup,
                       uint64_t worker) {
  MatchPair* pairs = context.pairBuffers[worker];
  const uint64_t found =
      FindMatches(*context.matchScratch[worker], &left[0].key, leftCount, &right[0].key, rightCount,
                  static_cast<uint32_t>(leftGroup & 1), pairs, kGroupPairCapacity);
  const bool thinned = context.scaleGroups != kGroupsPerBucket;
  for (uint64_t i = 0; i < found; ++i) {
    const PrefixF1Entry& l = left[pairs[i].left];
    const PrefixF1Entry& r = right[pairs[i].right];
    const uint64_t yLeft = leftGroup * kBC + (l.key & 0x3FFF);
    uint64_t f = ComputeF2(yLeft, __builtin_bswap32(l.xBigEndian), __builtin_bswap32(r.xBigEndian));
    if (thinned) f = ThinY(f, context.scaleGroups);
    uint64_t slot = context.table2Count.load();
    do {
      if (slot >= context.table2Capacity) throw std::runtime_error("D2D748AC");
    } while (!context.table2Count.compare_exchange_weak(slot, slot + 1));
    context.table2[slot] = F2Entry{l.xBigEndian, r.xBigEndian, F2Key(f)};
  }
}

// Sorts bucket b by group and matches each pair of adjacent groups inside it.
void ProcessF1Bucket(RecomputeContext& context, uint64_t worker, uint64_t bucket) {
  const uint64_t count = context.fillCounts[bucket];
  if (count < 2) return;
  PrefixF1Entry* entries = context.buckets[bucket];
  RadixSortEntriesByGroup(entries, count, context.sortScratch[worker], count);
  const uint64_t groupBase = bucket * kGroupsPerBucket;
  uint64_t previousStart = 0;
  uint64_t previousCount = 0;
  uint64_t previousGroup = 0;
  uint64_t start = 0;
  while (start < count) {
    const uint32_t local = entries[start].key >> 14;
    uint64_t end = start + 1;
    while (end < count && (entries[end].key >> 14) == local) ++end;
    const uint64_t group = groupBase + local;
    if (previousCount != 0 && previousGroup + 1 == group) {
      MatchAndComputeF2(context, entries + previousStart, previousCount, entries + start,
                        end - start, previousGroup, worker);
    }
    previousStart = start;
    previousCount = end - start;
    previousGroup = group;
    start = end;
  }
}

void CollectMatches(RecomputeContext& context, const F2Entry* left, uint64_t leftCount,
                    const F2Entry* right, uint64_t rightCount, uint64_t leftGroup,
                    uint8_t (*results)[16], uint64_t* y, uint64_t limit, uint64_t& resultCount) {
  const uint64_t found = FindMatchesWide(
      *context.finalScratch, &left[0].key, leftCount, &right[0].key, rightCount,
      static_cast<uint32_t>(leftGroup & 1), context.finalPairs, kMaxRecomputeResults);
  for (uint64_t i = 0; i < found; ++i) {
    if (resultCount >= limit) throw std::runtime_error("2FB035D8");
    const F2Entry& l = left[context.finalPairs[i].left];
    const F2Entry& r = right[context.finalPairs[i].right];
    const uint32_t xs[4] = {l.xLeftBigEndian, l.xRightBigEndian, r.xLeftBigEndian,
                            r.xRightBigEndian};
    std::memcpy(results[resultCount], xs, 16);
    y[resultCount] = leftGroup * kBC + (l.key & 0x3FFF);
    ++resultCount;
  }
}

// Puts every writer back to unbound and empty, dropping what it staged.
void ResetWriters(RecomputeContext& context) {
  for (uint64_t w = 0; w < context.workerCount; ++w) {
    BucketWriter<kPrefixBucketCount>& writer = *context.writers[w];
    std::fill(std::begin(writer.counts), std::end(writer.counts), 0);
    writer.sink = nullptr;
  }
}

}  // namespace

uint64_t PrefixBucketCapacity(uint8_t maxLevel) {
  const uint64_t perBucket = ValueCount(maxLevel) / kPrefixBucketCount;
  return perBucket + 32 * FloorSqrt(perBucket);
}

uint64_t PrefixTable2Capacity(uint8_t maxLevel) {
  const uint64_t n = ValueCount(maxLevel);
  const uint64_t m = n * n >> 32;
  return 2 * (m + 16 * FloorSqrt(2 * m));
}

void RunF1ForPrefixes(RecomputeContext& context, const uint8_t plotId[32], uint8_t level,
                      const uint32_t prefixes[4], bool lowPriority) {
  uint32_t sorted[4];
  std::copy(prefixes, prefixes + 4, sorted);
  std::sort(sorted, sorted + 4);
  const uint64_t prefixCount = static_cast<uint64_t>(std::unique(sorted, sorted + 4) - sorted);

  // A writer in use elsewhere is left alone, so every check comes before the first bind.
  for (uint64_t w = 0; w < context.workerCount; ++w) {
    const BucketWriter<kPrefixBucketCount>& writer = *context.writers[w];
    if (writer.sink != nullptr) throw std::runtime_error("628B520A");
    for (uint64_t c : writer.counts) {
      if (c != 0) throw std::runtime_error("2CE9ACE7");
    }
  }
  ProofBucketSink sink(context);
  try {
    for (uint64_t w = 0; w < context.workerCount; ++w) context.writers[w]->Bind(&sink);
    uint8_t key[32];
    uint32_t state[16];
    MakeF1Key(plotId, key);
    MakeF1State(key, state);
    ChoosePool(context, lowPriority)
        .Run(
            [&](uint64_t worker, uint64_t part) {
              ComputeF1ForPrefixes(context, state, level, sorted, prefixCount, worker, part);
            },
            kPrefixBucketCount);
    for (uint64_t w = 0; w < context.workerCount; ++w) context.writers[w]->Flush();
  } catch (...) {
    ResetWriters(context);
    throw;
  }
  if (sink.Dropped() != 0) throw std::runtime_error("3AD1E0B7");
  for (uint32_t b = 0; b < kPrefixBucketCount; ++b) context.fillCounts[b] = sink.Fill(b);
}

uint64_t RecomputeFromPrefixes(RecomputeContext& context, const uint8_t plotId[32], uint8_t level,
                               const uint32_t prefixes[4], uint8_t (*results)[16],
                               uint64_t resultCapacity, uint64_t* y, uint64_t yCapacity,
                               bool lowPriority) {
  std::lock_guard<std::mutex> lock(context.running);
  if (level > context.maxLevel) throw std::runtime_error("7E4CEF1D");
  RunF1ForPrefixes(context, plotId, level, prefixes, lowPriority);

  context.table2Count.store(0);
  ChoosePool(context, lowPriority)
      .Run([&](uint64_t worker, uint64_t bucket) { ProcessF1Bucket(context, worker, bucket); },
           kPrefixBucketCount);

  const uint64_t count = context.table2Count.load();
  F2Entry* table = context.table2;
  SortMatchPairs(table, count);
  const uint64_t limit = std::min({kMaxRecomputeResults, resultCapacity, yCapacity});
  uint64_t resultCount = 0;
  uint64_t previousStart = 0;
  uint64_t previousCount = 0;
  uint64_t previousGroup = 0;
  uint64_t start = 0;
  while (start < count) {
    const uint64_t group = table[start].key >> 14;
    uint64_t end = start + 1;
    while (end < count && (table[end].key >> 14) == group) ++end;
    if (previousCount != 0 && previousGroup + 1 == group) {
      CollectMatches(context, table + previousStart, previousCount, table + start, end - start,
                     previousGroup, results, y, limit, resultCount);
    }
    previousStart = start;
    previousCount = end - start;
    previousGroup = group;
    start = end;
  }
  return resultCount;
}
