#pragma once

#include <cstdint>

#include "chia/match_targets.h"
#include "chia/simd_level.h"

// Limits of the match finder. The index covers every 14-bit r, so a corrupt key cannot write
// outside it; right entries are numbered in 15 bits (index value i + 1 must stay positive as a
// signed 16-bit value), left entries in 16 bits, chain nodes are bounded by the node list.
inline constexpr uint32_t kMatchIndexSize = 1u << 14;
inline constexpr uint32_t kMatchNodeCapacity = 1888;
inline constexpr uint64_t kMatchMaxRightEntries = 32767;
inline constexpr uint64_t kMatchMaxLeftEntries = 65536;

// Per-thread scratch of the match finder; cleared again by every call.
// Index value e (signed 16-bit): 0 = no right entry with this r; e > 0 = entry e - 1 alone;
// e < 0 = several, chain starting at node ~e. A node is (entry index | next node << 16); a next
// with the top bit set ends the chain.
struct MatchScratch {
  uint16_t index[kMatchIndexSize];
  uint32_t nodes[kMatchNodeCapacity];
  uint64_t nodeCount;
};

// (left entry index within its group, right entry index within its group).
struct MatchPair {
  uint16_t left;
  uint16_t right;
};

// Finds the matching pairs between left group g and right group g + 1 (parity = g & 1). The key
// pointers point at the u32 key word of each group's first record; bits 0..13 are y mod kBC.
// Pairs come out ordered by left entry, then target position, then chain order; at most
// `capacity` are written (the first ones) and their number is returned.
// Throws "3E9C0A51" (right group too large), "9B27F4C6" (left group too large), "C40D7E85"
// (chain nodes exhausted), "71F3B2D8" (left key outside 0..kBC-1), "5AD60E1F" (parity not
// 0 or 1); the scratch is left cleared in every case.
uint64_t FindMatches(MatchScratch& scratch, const void* leftKeys, uint64_t leftCount,
                     const void* rightKeys, uint64_t rightCount, uint32_t parity, MatchPair* out,
                     uint64_t capacity);  // 8-byte records
uint64_t FindMatchesWide(MatchScratch& scratch, const void* leftKeys, uint64_t leftCount,
                         const void* rightKeys, uint64_t rightCount, uint32_t parity,
                         MatchPair* out, uint64_t capacity);  // 16-byte records
uint64_t FindMatchesWideAlt(MatchScratch& scratch, const void* leftKeys, uint64_t leftCount,
                            const void* rightKeys, uint64_t rightCount, uint32_t parity,
                            MatchPair* out, uint64_t capacity);  // 24-byte records

// True when y right lies in the group after y left's and is one of its targets.
bool IsMatchingPair(uint64_t yLeft, uint64_t yRight);

// The same finder with the portable scan even where a vector scan is available, for records of
// 8, 16 or 24 bytes, so that the scans can be checked against each other; the results are
// identical.
namespace find_matches_detail {
// The finder with the scan of one instruction-set level, which must be supported.
uint64_t FindMatchesAt(SimdLevel level, uint64_t recordWidth, MatchScratch& scratch,
                       const void* leftKeys, uint64_t leftCount, const void* rightKeys,
                       uint64_t rightCount, uint32_t parity, MatchPair* out, uint64_t capacity);
uint64_t FindMatchesPortable(uint64_t recordWidth, MatchScratch& scratch, const void* leftKeys,
                             uint64_t leftCount, const void* rightKeys, uint64_t rightCount,
                             uint32_t parity, MatchPair* out, uint64_t capacity);
}  // namespace find_matches_detail
