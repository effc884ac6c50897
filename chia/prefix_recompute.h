#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "chia/bc_group.h"
#include "chia/f1.h"
#include "chia/find_matches.h"
#include "chia/fx.h"
#include "runtime/bucket_writer.h"
#include "runtime/thread_pool.h"

// Recomputation of the dropped x values under a table-3 entry: every x under up to four x
// prefixes through F1, their table-2 matches through f2, and the table-3 matches among those.
// At level L a prefix P stands for the x values (P << (16 + L)) | i, 0 <= i < 2^(16 + L).

inline constexpr uint32_t kPrefixBucketCount = 128;
inline constexpr uint64_t kGroupPairCapacity = 32;   // table-2 pairs kept per group pair
inline constexpr uint64_t kMaxRecomputeResults = 8;  // table-3 matches per call

// Entries per bucket array and table-2 entries for the highest level the storage serves.
uint64_t PrefixBucketCapacity(uint8_t maxLevel);
uint64_t PrefixTable2Capacity(uint8_t maxLevel);

// The storage one recomputation works in. Its owner allocates every array once, sized by
// maxLevel, and keeps them for its life; a call overwrites them and keeps nothing. Per worker w
// of the pools: writers[w] (unbound and empty between calls), matchScratch[w], pairBuffers[w]
// (kGroupPairCapacity pairs) and sortScratch[w] (bucketCapacity entries).
struct RecomputeContext {
  uint8_t maxLevel = 0;
  uint64_t workerCount = 0;
  ThreadPool* pool = nullptr;
  ThreadPool* lowPriorityPool = nullptr;  // null when there is none
  // Plot scale: F1 keeps ChaCha blocks n with n mod 2^scaleShift = 0, and every y split into
  // bucket and group goes through ThinY with scaleGroups.
  uint32_t scaleShift = 0;
  uint64_t scaleGroups = kGroupsPerBucket;

  BucketWriter<kPrefixBucketCount>* const* writers = nullptr;
  MatchScratch* const* matchScratch = nullptr;
  MatchPair* const* pairBuffers = nullptr;
  uint64_t* const* sortScratch = nullptr;
  MatchScratch* finalScratch = nullptr;
  MatchPair* finalPairs = nullptr;  // kMaxRecomputeResults pairs

  PrefixF1Entry* const* buckets = nullptr;  // kPrefixBucketCount arrays
  uint64_t bucketCapacity = 0;
  uint64_t fillCounts[kPrefixBucketCount] = {};

  F2Entry* table2 = nullptr;
  uint64_t table2Capacity = 0;
  std::atomic<uint64_t> table2Count{0};

  // Held for a whole call: the storage serves one recomputation at a time.
  std::mutex running;
};

// Regenerates the x values under the four prefixes (any order, repeats allowed) and writes every
// table-3 match found: results[i] = x ll, x lr, x rl, x rr, each 4 big-endian bytes, and y[i] =
// the f2 of its left pair. Writes at most min(8, resultCapacity, yCapacity) results and returns
// their number. Runs its parallel parts on the low-priority pool when asked and there is one.
// Throws "7E4CEF1D" (level above maxLevel, nothing touched), "628B520A" / "2CE9ACE7" (a writer
// left bound or holding entries by someone else; nothing is bound then), "3AD1E0B7" (a bucket
// array overflowed and entries were lost), "D2D748AC" (table 2 full), "2FB035D8" (more matches
// than room). After any failure every writer is unbound and empty again.
uint64_t RecomputeFromPrefixes(RecomputeContext& context, const uint8_t plotId[32], uint8_t level,
                               const uint32_t prefixes[4], uint8_t (*results)[16],
                               uint64_t resultCapacity, uint64_t* y, uint64_t yCapacity,
                               bool lowPriority);

// The F1 phase alone: afterwards fillCounts holds each bucket array's entry count.
void RunF1ForPrefixes(RecomputeContext& context, const uint8_t plotId[32], uint8_t level,
                      const uint32_t prefixes[4], bool lowPriority);
