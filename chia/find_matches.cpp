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
#define VARNOK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

// Returned by the scans for a left key whose r is not below kBC.
constexpr uint64_t kBadLeftKey = ~uint64_t{0};

// Emits the pairs of left entry `li` with the right entries of `r`, in chain order, stopping
// once `out` is full; false then. The caller only calls it while there is room for one pair.
inline bool EmitTarget(uint32_t r, const MatchScratch& s, uint16_t li, MatchPair* out,
                       uint64_t& written, uint64_t capacity) {
  auto e = static_cast<int16_t>(s.index[r]);
  if (e > 0) {
    out[written++] = {li, static_cast<uint16_t>(e - 1)};
    return written != capacity;
  }
  uint32_t n = static_cast<uint16_t>(~static_cast<uint16_t>(e));
  for (;;) {
    uint32_t node = s.nodes[n];
    out[written++] = {li, static_cast<uint16_t>(node)};
    if (written == capacity) return false;
    if ((node & 0x80000000u) != 0) return true;
    n = node >> 16;
  }
}

// The same for the target positions set in `hits`, in increasing position.
template <typename Row>
inline void EmitHits(uint64_t hits, const Row& row, const MatchScratch& s, uint16_t li,
                     MatchPair* out, uint64_t& written, uint64_t capacity) {
  while (hits != 0) {
    unsigned m = static_cast<unsigned>(__builtin_ctzll(hits));
    hits &= hits - 1;
    if (!EmitTarget(row[m], s, li, out, written, capacity)) return;
  }
}

// The right group's r values as 128-bit rows: bit c of row j is set when r = (j mod kB) * kC + c
// is present. A left entry's targets m = 0..63 lie one per row in the 64 consecutive rows
// b .. b + 63 (rows kB and on repeat the first ones, so the run never wraps), at column
// ((2m + p)^2 mod kC + c) mod kC. So sixteen targets are four plain loads and two word
// permutes instead of a gather.
constexpr uint32_t kPresenceRows = kB + kMatchTargetCount;

struct alignas(64) PresenceRows {
  uint32_t words[kPresenceRows][4];

  void Add(uint32_t r) {
    // Keys past kBC are never a target; their rows would alias the repeated ones.
    if (r >= kBC) return;
    uint32_t b = r / kC, c = r - b * kC;
    words[b][c >> 5] |= 1u << (c & 31);
    if (b < kMatchTargetCount) words[b + kB][c >> 5] |= 1u << (c & 31);
  }
};

// (2m + p)^2 mod kC for both parities, as 32-bit lanes and as bytes.
struct TargetSquares {
  alignas(64) uint32_t lanes[2][kMatchTargetCount] = {};
  uint8_t bytes[2][kMatchTargetCount] = {};
  constexpr TargetSquares() {
    for (uint32_t p = 0; p < 2; ++p) {
      for (uint32_t m = 0; m < kMatchTargetCount; ++m) {
        lanes[p][m] = (2 * m + p) * (2 * m + p) % kC;
        bytes[p][m] = static_cast<uint8_t>(lanes[p][m]);
      }
    }
  }
};
constexpr TargetSquares kSquares;

// Target m of a left entry with r = b * kC + c, worked out only for the hits.
struct TargetRow {
  uint32_t b, c;
  const uint8_t* squares;
  uint32_t operator[](unsigned m) const {
    uint32_t bm = b + m;
    bm = bm >= kB ? bm - kB : bm;
    uint32_t cm = squares[m] + c;
    cm = cm >= kC ? cm - kC : cm;
    return bm * kC + cm;
  }
};

VARNOK_AVX512 inline uint64_t HitsRows(const PresenceRows& rows, uint32_t parity, uint32_t b,
                                       uint32_t c) {
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i low5 = _mm512_set1_epi32(31);
  const __m512i modulus = _mm512_set1_epi32(kC);
  // Lane j of a sixteen-target step takes word (j mod 8) * 4 + column / 32 of its pair of
  // registers: rows j of the step, four words each.
  const __m512i laneRow = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 4, 8, 12, 16, 20, 24, 28);
  const __m512i cv = _mm512_set1_epi32(static_cast<int>(c));
  uint64_t hits = 0;
  for (uint32_t q = 0; q < kMatchTargetCount; q += 16) {
    const uint32_t* base = rows.words[b + q];
    __m512i r0 = _mm512_loadu_si512(base), r1 = _mm512_loadu_si512(base + 16);
    __m512i r2 = _mm512_loadu_si512(base + 32), r3 = _mm512_loadu_si512(base + 48);
    __m512i column = _mm512_add_epi32(_mm512_load_si512(kSquares.lanes[parity] + q), cv);
    column = _mm512_maskz_min_epu32(0xFFFF, column, _mm512_sub_epi32(column, modulus));
    __m512i pick = _mm512_add_epi32(laneRow, _mm512_maskz_srli_epi32(0xFFFF, column, 5));
    __m512i word = _mm512_mask_blend_epi32(0xFF00, _mm512_permutex2var_epi32(r0, pick, r1),
                                           _mm512_permutex2var_epi32(r2, pick, r3));
    __m512i bits = _mm512_maskz_srlv_epi32(0xFFFF, word, _mm512_and_si512(column, low5));
    hits |= uint64_t{_mm512_test_epi32_mask(bits, one)} << q;
  }
  return hits;
}

// The same one target at a time.
inline uint64_t HitsRowsPortable(const PresenceRows& rows, uint32_t parity, uint32_t b,
                                 uint32_t c) {
  uint64_t hits = 0;
  for (uint32_t m = 0; m < kMatchTargetCount; ++m) {
    uint32_t column = kSquares.bytes[parity][m] + c;
    column = column >= kC ? column - kC : column;
    hits |= uint64_t{(rows.words[b + m][column >> 5] >> (column & 31)) & 1} << m;
  }
  return hits;
}

// r / kC for a 14-bit r, in one multiply: the compiler's own sequence serves every 32-bit r.
constexpr uint32_t RowOf(uint32_t r) {
  return static_cast<uint32_t>((uint64_t{r} * 33818641) >> 32);  // ceil(2^32 / kC)
}
constexpr bool RowOfIsExact() {
  for (uint32_t r = 0; r < (1u << 14); ++r) {
    if (RowOf(r) != r / kC) return false;
  }
  return true;
}
static_assert(RowOfIsExact());

// The AVX2 scan's presence set: the right group's distinct columns row by row, in planes of
// one byte per row: plane k holds the k-th distinct column of every row, 0xFF where a row has
// fewer. A left entry's 64 target rows b .. b + 63 are then 64 consecutive bytes of each plane,
// to compare with its 64 target columns at once. Rows kB and on repeat the first ones, as
// above. Rows hold about two columns each, so a group needs few planes; a row holds at most kC.
struct alignas(64) ColumnPlanes {
  static constexpr uint32_t kRowBytes = 192;  // kPresenceRows, rounded up to whole registers
  uint8_t planes[kC][kRowBytes];
  uint8_t used[kB];
  uint32_t depth;

  void Clear() {
    std::memset(used, 0, sizeof(used));
    depth = 0;
  }
  // Only for an r not added before.
  void Add(uint32_t r) {
    if (r >= kBC) return;
    uint32_t b = RowOf(r), c = r - b * kC;
    uint32_t k = used[b]++;
    if (k == depth) std::memset(planes[depth++], 0xFF, kRowBytes);
    planes[k][b] = static_cast<uint8_t>(c);
    // Rows past the repeated ones write to a byte no scan reads, sparing a branch.
    planes[k][b < kMatchTargetCount ? b + kB : kRowBytes - 1] = static_cast<uint8_t>(c);
  }
};

VARNOK_AVX2 inline uint64_t HitsPlanesAvx2(const ColumnPlanes& set, uint32_t parity, uint32_t b,
                                           uint32_t c) {
  const auto* squares = reinterpret_cast<const __m256i*>(kSquares.bytes[parity]);
  const __m256i cv = _mm256_set1_epi8(static_cast<char>(c));
  const __m256i modulus = _mm256_set1_epi8(static_cast<char>(kC));
  // (2m + p)^2 mod kC + c is at most 252, so one unsigned minimum takes it back below kC.
  __m256i low = _mm256_add_epi8(_mm256_loadu_si256(squares), cv);
  __m256i high = _mm256_add_epi8(_mm256_loadu_si256(squares + 1), cv);
  low = _mm256_min_epu8(low, _mm256_sub_epi8(low, modulus));
  high = _mm256_min_epu8(high, _mm256_sub_epi8(high, modulus));
  __m256i hitLow = _mm256_setzero_si256(), hitHigh = _mm256_setzero_si256();
  for (uint32_t k = 0; k < set.depth; ++k) {
    const uint8_t* plane = set.planes[k] + b;
    hitLow = _mm256_or_si256(
        hitLow,
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane)), low));
    hitHigh = _mm256_or_si256(
        hitHigh,
        _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(plane + 32)), high));
  }
  return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(hitLow))} |
         uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(hitHigh))} << 32;
}

// Emits the pairs of every left entry in order until `out` is full.
template <size_t Stride, class Set, uint64_t (*Hits)(const Set&, uint32_t, uint32_t, uint32_t)>
[[gnu::always_inline]] inline uint64_t ScanRows(const MatchScratch& s, const Set& set,
                                                const uint8_t* left, uint64_t leftCount,
                                                uint32_t parity, MatchPair* out,
                                                uint64_t capacity) {
  uint64_t written = 0;
  for (uint64_t l = 0; l < leftCount && written < capacity; ++l) {
    uint32_t r = RAt(left, l, Stride);
    if (r >= kBC) return kBadLeftKey;
    uint32_t b = r / kC, c = r - b * kC;
    EmitHits(Hits(set, parity, b, c), TargetRow{b, c, kSquares.bytes[parity]}, s,
             static_cast<uint16_t>(l), out, written, capacity);
  }
  return written;
}

template <size_t Stride>
uint64_t ScanLeftPortable(const MatchScratch& s, const PresenceRows& rows, const uint8_t* left,
                          uint64_t leftCount, uint32_t parity, MatchPair* out, uint64_t capacity) {
  return ScanRows<Stride, PresenceRows, HitsRowsPortable>(s, rows, left, leftCount, parity, out,
                                                          capacity);
}

// The AVX2 scan takes the left entries 32 at a time: it lists a chunk's hits as
// (entry within the chunk << 6 | m) first, with no branch on how many an entry has (about one on
// average), and emits them after.
constexpr uint32_t kScanChunk = 32;

template <size_t Stride>
VARNOK_AVX2 uint64_t ScanLeftAvx2(const MatchScratch& s, const ColumnPlanes& set,
                                  const uint8_t* left, uint64_t leftCount, uint32_t parity,
                                  MatchPair* out, uint64_t capacity) {
  uint32_t found[kScanChunk * kMatchTargetCount + 2];
  const uint8_t* squares = kSquares.bytes[parity];
  uint64_t written = 0;
  for (uint64_t first = 0; first < leftCount && written < capacity; first += kScanChunk) {
    const uint64_t end = first + kScanChunk < leftCount ? first + kScanChunk : leftCount;
    uint64_t listed = 0;
    uint64_t l = first;
    uint16_t origin[kScanChunk];  // b << 7 | c of each entry of the chunk
    for (; l < end; ++l) {
      uint32_t r = RAt(left, l, Stride);
      if (r >= kBC) break;
      uint32_t b = RowOf(r), c = r - b * kC;
      origin[l - first] = static_cast<uint16_t>(b << 7 | c);
      uint64_t hits = HitsPlanesAvx2(set, parity, b, c);
      auto tag = static_cast<uint32_t>((l - first) << 6);
      // Two slots whatever the count; the bit-63 guard keeps the count defined when none is left.
      found[listed] = tag | static_cast<uint32_t>(__builtin_ctzll(hits | (uint64_t{1} << 63)));
      listed += hits != 0;
      hits &= hits - 1;
      found[listed] = tag | static_cast<uint32_t>(__builtin_ctzll(hits | (uint64_t{1} << 63)));
      listed += hits != 0;
      hits &= hits - 1;
      while (hits != 0) {
        found[listed++] = tag | static_cast<uint32_t>(__builtin_ctzll(hits));
        hits &= hits - 1;
      }
    }
    for (uint64_t k = 0; k < listed; ++k) {
      uint32_t i = found[k] >> 6, m = found[k] & 63;
      TargetRow row{uint32_t{origin[i]} >> 7, uint32_t{origin[i]} & 127, squares};
      if (!EmitTarget(row[m], s, static_cast<uint16_t>(first + i), out, written, capacity)) {
        return written;
      }
    }
    if (l < end) return kBadLeftKey;
  }
  return written;
}

template <size_t Stride>
VARNOK_AVX512 uint64_t ScanLeftAvx512(const MatchScratch& s, const PresenceRows& rows,
                                      const uint8_t* left, uint64_t leftCount, uint32_t parity,
                                      MatchPair* out, uint64_t capacity) {
  return ScanRows<Stride, PresenceRows, HitsRows>(s, rows, left, leftCount, parity, out, capacity);
}

// Indexes the right group by r and adds each distinct r to `set`.
template <size_t Stride, class Set>
void IndexRight(MatchScratch& s, Set& set, const uint8_t* right, uint64_t rightCount) {
  uint16_t* index = s.index;
  uint32_t* nodes = s.nodes;
  uint64_t used = 0;
  for (uint64_t i = 0; i < rightCount; ++i) {
    uint32_t r = RAt(right, i, Stride);
    auto e = static_cast<int16_t>(index[r]);
    if (e == 0) {
      set.Add(r);
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
}

template <size_t Stride>
uint64_t FindMatchesOf(MatchScratch& s, const void* leftKeys, uint64_t leftCount,
                       const void* rightKeys, uint64_t rightCount, uint32_t parity, MatchPair* out,
                       uint64_t capacity, SimdLevel level = BestSimdLevel()) {
  const auto* left = static_cast<const uint8_t*>(leftKeys);
  const auto* right = static_cast<const uint8_t*>(rightKeys);
  if (rightCount > kMatchMaxRightEntries) throw std::runtime_error("3E9C0A51");
  if (leftCount > kMatchMaxLeftEntries) throw std::runtime_error("9B27F4C6");
  if (parity > 1) throw std::runtime_error("5AD60E1F");

  // The scans probe a presence set built beside the index, small enough to stay in the
  // first-level cache, where the 32 KB index and the 3.9 MB target table do not.
  uint64_t written;
  if (level == SimdLevel::kAvx2) {
    ColumnPlanes set;
    set.Clear();
    IndexRight<Stride>(s, set, right, rightCount);
    written = ScanLeftAvx2<Stride>(s, set, left, leftCount, parity, out, capacity);
  } else {
    PresenceRows rows;
    std::memset(&rows, 0, sizeof(rows));
    IndexRight<Stride>(s, rows, right, rightCount);
    if (level == SimdLevel::kAvx512) {
      written = ScanLeftAvx512<Stride>(s, rows, left, leftCount, parity, out, capacity);
    } else {
      written = ScanLeftPortable<Stride>(s, rows, left, leftCount, parity, out, capacity);
    }
  }
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

uint64_t find_matches_detail::FindMatchesAt(SimdLevel level, uint64_t recordWidth,
                                            MatchScratch& scratch, const void* leftKeys,
                                            uint64_t leftCount, const void* rightKeys,
                                            uint64_t rightCount, uint32_t parity, MatchPair* out,
                                            uint64_t capacity) {
  switch (recordWidth) {
    case 8:
      return FindMatchesOf<8>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                              capacity, level);
    case 16:
      return FindMatchesOf<16>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                               capacity, level);
    default:
      return FindMatchesOf<24>(scratch, leftKeys, leftCount, rightKeys, rightCount, parity, out,
                               capacity, level);
  }
}

uint64_t find_matches_detail::FindMatchesPortable(uint64_t recordWidth, MatchScratch& scratch,
                                                  const void* leftKeys, uint64_t leftCount,
                                                  const void* rightKeys, uint64_t rightCount,
                                                  uint32_t parity, MatchPair* out,
                                                  uint64_t capacity) {
  return FindMatchesAt(SimdLevel::kPortable, recordWidth, scratch, leftKeys, leftCount, rightKeys,
                       rightCount, parity, out, capacity);
}
