#include "chia/find_matches.h"

#include <cstring>
#include <stdexcept>

namespace {

inline uint32_t RAt(const uint8_t* keys, uint64_t i, size_t stride) {
  uint16_t v;
  std::memcpy(&v, keys + i * stride, 2);
  return v & 0x3FFFu;
}

void ClearIndex(MatchScratch& s, const uint8_t* right, uint64_t count, size_t stride) {
  for (uint64_t i = 0; i < count; ++i) s.index[RAt(right, i, stride)] = 0;
  s.nodeCount = 0;
}

[[noreturn]] void Fail(MatchScratch& s, const uint8_t* right, uint64_t indexed, size_t stride,
                       const char* code) {
  ClearIndex(s, right, indexed, stride);
  throw std::runtime_error(code);
}

template <size_t Stride>
uint64_t FindMatchesOf(MatchScratch& s, const void* leftKeys, uint64_t leftCount,
                       const void* rightKeys, uint64_t rightCount, uint32_t parity, MatchPair* out,
                       uint64_t capacity) {
  const auto* left = static_cast<const uint8_t*>(leftKeys);
  const auto* right = static_cast<const uint8_t*>(rightKeys);
  if (rightCount > kMatchMaxRightEntries) throw std::runtime_error("3E9C0A51");
  if (leftCount > kMatchMaxLeftEntries) throw std::runtime_error("9B27F4C6");
  if (parity > 1) throw std::runtime_error("5AD60E1F");

  uint16_t* index = s.index;
  uint32_t* nodes = s.nodes;
  uint64_t used = 0;
  for (uint64_t i = 0; i < rightCount; ++i) {
    uint32_t r = RAt(right, i, Stride);
    auto e = static_cast<int16_t>(index[r]);
    if (e == 0) {
      index[r] = static_cast<uint16_t>(i + 1);
    } else if (e > 0) {
      if (used + 2 > kMatchNodeCapacity) Fail(s, right, i, Stride, "C40D7E85");
      nodes[used] = static_cast<uint32_t>(e - 1) | static_cast<uint32_t>(used + 1) << 16;
      nodes[used + 1] = static_cast<uint32_t>(i) | 0xFFFF0000u;
      index[r] = static_cast<uint16_t>(~used);
      used += 2;
    } else {
      if (used + 1 > kMatchNodeCapacity) Fail(s, right, i, Stride, "C40D7E85");
      uint32_t head = static_cast<uint16_t>(~static_cast<uint16_t>(e));
      nodes[used] = static_cast<uint32_t>(i) | head << 16;
      index[r] = static_cast<uint16_t>(~used);
      used += 1;
    }
  }
  s.nodeCount = used;

  uint64_t written = 0;
  for (uint64_t l = 0; l < leftCount && written < capacity; ++l) {
    uint32_t r = RAt(left, l, Stride);
    if (r >= kBC) Fail(s, right, rightCount, Stride, "71F3B2D8");
    const uint16_t* row = MatchTargets[parity][r];
    auto li = static_cast<uint16_t>(l);
    for (uint32_t m = 0; m < kMatchTargetCount; ++m) {
      auto e = static_cast<int16_t>(index[row[m]]);
      if (e == 0) continue;
      if (e > 0) {
        out[written++] = {li, static_cast<uint16_t>(e - 1)};
        if (written == capacity) break;
        continue;
      }
      uint32_t n = static_cast<uint16_t>(~static_cast<uint16_t>(e));
      for (;;) {
        uint32_t node = nodes[n];
        out[written++] = {li, static_cast<uint16_t>(node)};
        if (written == capacity || (node & 0x80000000u) != 0) break;
        n = node >> 16;
      }
      if (written == capacity) break;
    }
  }
  // Once the output is full the remaining pairs would be dropped anyway.
  ClearIndex(s, right, rightCount, Stride);
  return written;
}

}  // namespace

uint64_t FindMatches(MatchScratch& scratch, const void* leftKeys, uint64_t leftCount,
                     const void* rightKeys, uint64_t rightCount, uint32_t parity, MatchPair* out,
                     uint64_t capacity) {
  return FindMatchesOf<8>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                          capacity);
}

uint64_t FindMatchesWide(MatchScratch& scratch, const void* leftKeys, uint64_t leftCount,
                         const void* rightKeys, uint64_t rightCount, uint32_t parity,
                         MatchPair* out, uint64_t capacity) {
  return FindMatchesOf<16>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                           capacity);
}

uint64_t FindMatchesWideAlt(MatchScratch& scratch, const void* leftKeys, uint64_t leftCount,
                            const void* rightKeys, uint64_t rightCount, uint32_t parity,
                            MatchPair* out, uint64_t capacity) {
  return FindMatchesOf<24>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                           capacity);
}

bool IsMatchingPair(uint64_t yLeft, uint64_t yRight) {
  uint64_t gl = yLeft / kBC;
  uint64_t gr = yRight / kBC;
  if (gr != gl + 1) return false;
  const uint16_t* row = MatchTargets[gl & 1][yLeft % kBC];
  auto rr = static_cast<uint16_t>(yRight % kBC);
  for (uint32_t m = 0; m < kMatchTargetCount; ++m) {
    if (row[m] == rr) return true;
  }
  return false;
}
