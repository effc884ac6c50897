#include "chia/find_matches.h"

#include <immintrin.h>

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

#define VARNOK_AVX2 __attribute__((target("avx2")))

const bool hasAvx2 = __builtin_cpu_supports("avx2");

// Returned by the scans for a left key whose r is not below kBC.
constexpr uint64_t kBadLeftKey = ~uint64_t{0};

// Emits the pairs of left entry `li` for the target positions set in `hits`, in increasing
// position, each position's right entries in chain order, stopping once `out` is full. The
// caller only calls it while there is room for at least one pair.
inline void EmitHits(uint64_t hits, const uint16_t* row, const MatchScratch& s, uint16_t li,
                     MatchPair* out, uint64_t& written, uint64_t capacity) {
  while (hits != 0) {
    unsigned m = static_cast<unsigned>(__builtin_ctzll(hits));
    hits &= hits - 1;
    auto e = static_cast<int16_t>(s.index[row[m]]);
    if (e > 0) {
      out[written++] = {li, static_cast<uint16_t>(e - 1)};
      if (written == capacity) return;
      continue;
    }
    uint32_t n = static_cast<uint16_t>(~static_cast<uint16_t>(e));
    for (;;) {
      uint32_t node = s.nodes[n];
      out[written++] = {li, static_cast<uint16_t>(node)};
      if (written == capacity) return;
      if ((node & 0x80000000u) != 0) break;
      n = node >> 16;
    }
  }
}

// Bit m set when target m of the row has a right entry.
inline uint64_t HitsPortable(const MatchScratch& s, const uint16_t* row) {
  uint64_t hits = 0;
  for (uint32_t m = 0; m < kMatchTargetCount; ++m) {
    hits |= uint64_t{s.index[row[m]] != 0} << m;
  }
  return hits;
}

// The same with the 64 index probes done as eight 8-lane gathers. Each lane reads 32 bits at the
// target's u16 and keeps the low half; targets are below kBC, so the read stays inside the
// 2^14-entry index.
VARNOK_AVX2 inline uint64_t HitsAvx2(const MatchScratch& s, const uint16_t* row) {
  const auto* base = reinterpret_cast<const int*>(s.index);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF);
  const __m256i zero = _mm256_setzero_si256();
  uint64_t hits = 0;
  for (uint32_t q = 0; q < kMatchTargetCount; q += 16) {
    __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + q));
    __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(t));
    __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(t, 1));
    __m256i glo = _mm256_and_si256(_mm256_i32gather_epi32(base, lo, 2), low16);
    __m256i ghi = _mm256_and_si256(_mm256_i32gather_epi32(base, hi, 2), low16);
    auto emptyLo = static_cast<uint32_t>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(glo, zero))));
    auto emptyHi = static_cast<uint32_t>(
        _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(ghi, zero))));
    hits |= uint64_t{~(emptyLo | emptyHi << 8) & 0xFFFFu} << q;
  }
  return hits;
}

// Emits the pairs of every left entry in order until `out` is full.
template <size_t Stride, uint64_t (*Hits)(const MatchScratch&, const uint16_t*)>
[[gnu::always_inline]] inline uint64_t ScanLeft(const MatchScratch& s, const uint8_t* left,
                                                uint64_t leftCount, uint32_t parity, MatchPair* out,
                                                uint64_t capacity) {
  uint64_t written = 0;
  for (uint64_t l = 0; l < leftCount && written < capacity; ++l) {
    uint32_t r = RAt(left, l, Stride);
    if (r >= kBC) return kBadLeftKey;
    const uint16_t* row = MatchTargets[parity][r];
    EmitHits(Hits(s, row), row, s, static_cast<uint16_t>(l), out, written, capacity);
  }
  return written;
}

template <size_t Stride>
uint64_t ScanLeftPortable(const MatchScratch& s, const uint8_t* left, uint64_t leftCount,
                          uint32_t parity, MatchPair* out, uint64_t capacity) {
  return ScanLeft<Stride, HitsPortable>(s, left, leftCount, parity, out, capacity);
}

template <size_t Stride>
VARNOK_AVX2 uint64_t ScanLeftAvx2(const MatchScratch& s, const uint8_t* left, uint64_t leftCount,
                                  uint32_t parity, MatchPair* out, uint64_t capacity) {
  return ScanLeft<Stride, HitsAvx2>(s, left, leftCount, parity, out, capacity);
}

template <size_t Stride>
uint64_t FindMatchesOf(MatchScratch& s, const void* leftKeys, uint64_t leftCount,
                       const void* rightKeys, uint64_t rightCount, uint32_t parity, MatchPair* out,
                       uint64_t capacity, bool wide = hasAvx2) {
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

  uint64_t written = wide ? ScanLeftAvx2<Stride>(s, left, leftCount, parity, out, capacity)
                          : ScanLeftPortable<Stride>(s, left, leftCount, parity, out, capacity);
  if (written == kBadLeftKey) Fail(s, right, rightCount, Stride, "71F3B2D8");
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

uint64_t find_matches_detail::FindMatchesPortable(uint64_t recordWidth, MatchScratch& scratch,
                                                  const void* leftKeys, uint64_t leftCount,
                                                  const void* rightKeys, uint64_t rightCount,
                                                  uint32_t parity, MatchPair* out,
                                                  uint64_t capacity) {
  switch (recordWidth) {
    case 8:
      return FindMatchesOf<8>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                              capacity, false);
    case 16:
      return FindMatchesOf<16>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                               capacity, false);
    default:
      return FindMatchesOf<24>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                               capacity, false);
  }
}
