#include "chia/find_matches.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/test_seed.h"
#include "tests/support/thrown_text.h"

namespace {

constexpr uint64_t kB = 119;
constexpr uint64_t kC = 127;
constexpr uint64_t kBc = kB * kC;

// The matching condition of the proof of space, straight from its arithmetic definition: yr is
// in the next group, and for some m < 64 the b-parts differ by m (mod 119) and the c-parts by
// (2m + parity of the left group)^2 (mod 127). Returns that m, or -1.
int OracleMatchM(uint64_t yl, uint64_t yr) {
  uint64_t gl = yl / kBc;
  uint64_t gr = yr / kBc;
  if (gr != gl + 1) return -1;
  uint64_t bl = (yl % kBc) / kC, cl = (yl % kBc) % kC;
  uint64_t br = (yr % kBc) / kC, cr = (yr % kBc) % kC;
  // The b-parts fix m (m < 64 < 119); the c-parts must then agree.
  uint64_t m = (br + kB - bl) % kB;
  if (m >= 64) return -1;
  uint64_t s = 2 * m + (gl % 2);
  return (cr + kC - cl) % kC == (s * s) % kC ? static_cast<int>(m) : -1;
}

bool RowHas(const uint16_t* row, uint32_t t) {
  for (int m = 0; m < 64; ++m) {
    if (row[m] == t) return true;
  }
  return false;
}

TEST(MatchTargetsTable, AgreesWithTheMatchingCondition) {
  InitMatchTargets();
  InitMatchTargets();  // a second call changes nothing
  for (uint32_t p = 0; p < 2; ++p) {
    for (uint32_t r = 0; r < kBc; ++r) {
      for (uint32_t m = 0; m < 64; ++m) {
        uint32_t t = MatchTargets[p][r][m];
        ASSERT_LT(t, kBc);
        // Left y in group 2 + p (parity p), right y in the next group.
        uint64_t yl = (2 + p) * kBc + r;
        uint64_t yr = (3 + p) * kBc + t;
        ASSERT_EQ(OracleMatchM(yl, yr), static_cast<int>(m)) << p << " " << r << " " << m;
      }
    }
  }
  // The 64 targets are all the matches: no other right r satisfies the condition.
  std::mt19937 rng(1);
  for (int k = 0; k < 40; ++k) {
    uint32_t p = k & 1;
    uint32_t r = rng() % kBc;
    int found = 0;
    for (uint32_t t = 0; t < kBc; ++t) {
      bool match = OracleMatchM((2 + p) * kBc + r, (3 + p) * kBc + t) >= 0;
      found += match;
      ASSERT_EQ(match, RowHas(MatchTargets[p][r], t));
    }
    EXPECT_EQ(found, 64);
  }
}

TEST(MatchTargetsTable, IsMatchingPairAgreesWithOracle) {
  std::mt19937_64 rng(2);
  int positives = 0;
  for (int k = 0; k < 200000; ++k) {
    uint64_t gl = rng() % ((uint64_t{1} << 38) / kBc - 2);
    uint64_t yl = gl * kBc + rng() % kBc;
    uint64_t yr;
    if (k % 4 == 0) {
      // Force a real match a quarter of the time through the oracle's own arithmetic.
      uint64_t m = rng() % 64;
      uint64_t s = 2 * m + gl % 2;
      uint64_t bl = (yl % kBc) / kC, cl = (yl % kBc) % kC;
      yr = (gl + 1) * kBc + ((bl + m) % kB) * kC + (cl + s * s) % kC;
    } else {
      yr = (gl + rng() % 3) * kBc + rng() % kBc;
    }
    bool want = OracleMatchM(yl, yr) >= 0;
    positives += want;
    ASSERT_EQ(IsMatchingPair(yl, yr), want) << yl << " " << yr;
  }
  EXPECT_GT(positives, 40000);
  // Same group or two groups on: never, whatever the r values.
  uint64_t yl = 5 * kBc + 100;
  for (uint32_t t = 0; t < kBc; ++t) {
    ASSERT_FALSE(IsMatchingPair(yl, 5 * kBc + t));
    ASSERT_FALSE(IsMatchingPair(yl, 7 * kBc + t));
  }
}

// Records of `Width` bytes with the key word at byte `KeyAt`; the rest is filler.
template <size_t Width, size_t KeyAt>
struct Group {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> r;
  void Add(uint32_t rv, uint32_t localGroup) {
    size_t off = bytes.size();
    bytes.resize(off + Width, 0xEE);
    uint32_t key = rv | (localGroup << 14);
    std::memcpy(bytes.data() + off + KeyAt, &key, 4);
    r.push_back(rv);
  }
  const void* Keys() const { return bytes.data() + KeyAt; }
  uint64_t Count() const { return r.size(); }
};

// Expected output order: by left entry, then by m, then for right entries sharing one r: one
// alone; two in index order; three or more with the latest first down to the third, then the
// first and the second.
std::vector<std::pair<uint32_t, uint32_t>> BruteForce(const std::vector<uint32_t>& left,
                                                      const std::vector<uint32_t>& right,
                                                      uint64_t g) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (uint32_t l = 0; l < left.size(); ++l) {
    std::vector<std::vector<uint32_t>> byM(64);
    for (uint32_t j = 0; j < right.size(); ++j) {
      int m = OracleMatchM(g * kBc + left[l], (g + 1) * kBc + right[j]);
      if (m >= 0) byM[m].push_back(j);
    }
    for (const auto& same : byM) {
      if (same.size() <= 2) {
        for (uint32_t j : same) out.emplace_back(l, j);
      } else {
        for (size_t k = same.size(); k-- > 2;) out.emplace_back(l, same[k]);
        out.emplace_back(l, same[0]);
        out.emplace_back(l, same[1]);
      }
    }
  }
  return out;
}

bool IndexIsClear(const MatchScratch& s) {
  for (uint16_t v : s.index) {
    if (v != 0) return false;
  }
  return s.nodeCount == 0;
}

template <size_t Width, size_t KeyAt, class Fn>
void CheckAgainstBruteForce(Fn find, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto scratch = std::make_unique<MatchScratch>();
  std::memset(scratch.get(), 0, sizeof(MatchScratch));
  uint64_t totalPairs = 0;
  for (int round = 0; round < 60; ++round) {
    uint64_t g = 1000 + rng() % 100000;
    Group<Width, KeyAt> left, right;
    uint64_t nl = rng() % 300, nr = rng() % 300;
    for (uint64_t i = 0; i < nl; ++i) left.Add(rng() % kBc, g % 142096);
    for (uint64_t i = 0; i < nr; ++i) {
      // Now and then repeat an earlier r, up to four times, to build chains.
      if (i > 0 && rng() % 8 == 0) {
        right.Add(right.r[rng() % i], (g + 1) % 142096);
      } else {
        right.Add(rng() % kBc, (g + 1) % 142096);
      }
    }
    // Plant left entries that hit the repeated r values.
    for (uint64_t i = 0; i < nr && left.Count() < 400; i += 7) {
      uint64_t m = rng() % 64;
      // Solve the condition for the left r: pick b-part and c-part backwards.
      uint64_t br = right.r[i] / kC, cr = right.r[i] % kC;
      uint64_t s = 2 * m + g % 2;
      uint64_t bl = (br + kB - m % kB) % kB;
      uint64_t cl = (cr + kC - (s * s) % kC) % kC;
      left.Add(static_cast<uint32_t>(bl * kC + cl), g % 142096);
    }
    auto want = BruteForce(left.r, right.r, g);
    std::vector<MatchPair> out(want.size() + 8);
    uint64_t n = find(*scratch, left.Keys(), left.Count(), right.Keys(), right.Count(),
                      static_cast<uint32_t>(g & 1), out.data(), out.size());
    ASSERT_EQ(n, want.size());
    for (uint64_t i = 0; i < n; ++i) {
      ASSERT_EQ(out[i].left, want[i].first) << i;
      ASSERT_EQ(out[i].right, want[i].second) << i;
    }
    ASSERT_TRUE(IndexIsClear(*scratch));
    totalPairs += n;
    // With a smaller capacity exactly the first pairs come out.
    if (want.size() > 3) {
      uint64_t cap = want.size() / 2;
      std::vector<MatchPair> part(cap + 1, MatchPair{0xDEAD, 0xBEEF});
      uint64_t k = find(*scratch, left.Keys(), left.Count(), right.Keys(), right.Count(),
                        static_cast<uint32_t>(g & 1), part.data(), cap);
      ASSERT_EQ(k, cap);
      for (uint64_t i = 0; i < cap; ++i) {
        ASSERT_EQ(part[i].left, want[i].first);
        ASSERT_EQ(part[i].right, want[i].second);
      }
      EXPECT_EQ(part[cap].left, 0xDEAD);  // nothing past the capacity
      ASSERT_TRUE(IndexIsClear(*scratch));
      // No room at all: nothing is written.
      ASSERT_EQ(find(*scratch, left.Keys(), left.Count(), right.Keys(), right.Count(),
                     static_cast<uint32_t>(g & 1), part.data(), 0),
                0u);
      EXPECT_EQ(part[0].left, want[0].first);
      EXPECT_EQ(part[cap].left, 0xDEAD);
      ASSERT_TRUE(IndexIsClear(*scratch));
    }
  }
  EXPECT_GT(totalPairs, 2000u);
}

// The finder with the scan of one instruction-set level for one record width.
template <uint64_t Width, SimdLevel Level>
uint64_t At(MatchScratch& s, const void* l, uint64_t nl, const void* r, uint64_t nr,
            uint32_t parity, MatchPair* out, uint64_t capacity) {
  return find_matches_detail::FindMatchesAt(Level, Width, s, l, nl, r, nr, parity, out, capacity);
}

template <SimdLevel Level>
void CheckLevel() {
  if (!SimdLevelSupported(Level)) return;
  CheckAgainstBruteForce<8, 4>(At<8, Level>, 10);
  CheckAgainstBruteForce<16, 8>(At<16, Level>, 11);
  CheckAgainstBruteForce<24, 0>(At<24, Level>, 12);
}

TEST(FindMatches, AgreesWithBruteForceForEveryRecordWidth) {
  CheckAgainstBruteForce<8, 4>(FindMatches, 10);
  CheckAgainstBruteForce<16, 8>(FindMatchesWide, 11);
  CheckAgainstBruteForce<24, 0>(FindMatchesWideAlt, 12);
  CheckLevel<SimdLevel::kPortable>();
  CheckLevel<SimdLevel::kAvx2>();
  CheckLevel<SimdLevel::kAvx512>();
}

// Right r values made to match left r `rl` of a group of `parity` at target position m.
uint32_t TargetOf(uint32_t rl, uint32_t parity, uint32_t m) {
  uint64_t s = 2 * m + parity;
  return static_cast<uint32_t>(((rl / kC + m) % kB) * kC + (rl % kC + s * s) % kC);
}

// One shaped pair of groups: left and right r values (left values past kBC allowed).
struct Shape {
  std::vector<uint32_t> left, right;
};

// Records of a width chosen at run time, the key word at byte 0; the rest is filler.
std::vector<uint8_t> Records(const std::vector<uint32_t>& r, uint64_t width, uint32_t localGroup) {
  std::vector<uint8_t> bytes(r.size() * width, 0xA5);
  for (size_t i = 0; i < r.size(); ++i) {
    uint32_t key = r[i] | (localGroup << 14);
    std::memcpy(bytes.data() + i * width, &key, 4);
  }
  return bytes;
}

// Runs a shape through every record width and every level this machine runs, at the full
// capacity and cut short at each `cuts` point, against the brute force over the left entries
// before the first left r past kBC; such an entry must fail the call unless the output fills
// before it.
void CheckShape(const char* name, const Shape& shape, uint32_t parity,
                const std::vector<uint64_t>& cuts) {
  SCOPED_TRACE(std::string(name) + " parity " + std::to_string(parity));
  const uint64_t g = 2000 + parity;
  size_t valid = 0;
  while (valid < shape.left.size() && shape.left[valid] < kBc) ++valid;
  const std::vector<uint32_t> before(shape.left.begin(), shape.left.begin() + valid);
  const auto want = BruteForce(before, shape.right, g);
  const bool bad = valid < shape.left.size();
  auto scratch = std::make_unique<MatchScratch>();
  std::memset(scratch.get(), 0, sizeof(MatchScratch));
  std::vector<uint64_t> capacities = cuts;
  capacities.push_back(want.size());
  capacities.push_back(want.size() + 5);
  for (SimdLevel level : {SimdLevel::kPortable, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!SimdLevelSupported(level)) continue;
    for (uint64_t width : {8, 16, 24}) {
      SCOPED_TRACE("level " + std::to_string(static_cast<int>(level)) + " width " +
                   std::to_string(width));
      auto left = Records(shape.left, width, static_cast<uint32_t>(g));
      auto right = Records(shape.right, width, static_cast<uint32_t>(g + 1));
      for (uint64_t capacity : capacities) {
        std::vector<MatchPair> out(capacity + 1, MatchPair{0xDEAD, 0xBEEF});
        uint64_t n = 0;
        auto call = [&] {
          n = find_matches_detail::FindMatchesAt(level, width, *scratch, left.data(),
                                                 shape.left.size(), right.data(),
                                                 shape.right.size(), parity, out.data(), capacity);
        };
        if (bad && capacity > want.size()) {
          ASSERT_EQ(ThrownText(call), "71F3B2D8") << capacity;
        } else {
          ASSERT_EQ(ThrownText(call), "no exception") << capacity;
          ASSERT_EQ(n, std::min<uint64_t>(capacity, want.size())) << capacity;
          for (uint64_t i = 0; i < n; ++i) {
            ASSERT_EQ(out[i].left, want[i].first) << capacity << " " << i;
            ASSERT_EQ(out[i].right, want[i].second) << capacity << " " << i;
          }
        }
        ASSERT_EQ(out[capacity].left, 0xDEAD) << capacity;
        ASSERT_TRUE(IndexIsClear(*scratch)) << capacity;
      }
    }
  }
}

TEST(FindMatches, ShapedGroupsAgreeWithBruteForceAtEveryLevel) {
  std::mt19937_64 rng(TestSeed());
  auto random = [&](uint32_t below) { return static_cast<uint32_t>(rng() % below); };
  // Right entries hitting targets of each left entry at the given positions.
  auto plant = [](Shape& sh, uint32_t rl, uint32_t parity, std::initializer_list<uint32_t> ms) {
    for (uint32_t m : ms) sh.right.push_back(TargetOf(rl, parity, m));
  };
  struct Case {
    const char* name;
    std::function<Shape(uint32_t parity)> make;
    std::vector<uint64_t> cuts;
  };
  const std::vector<Case> cases = {
      // Left rows 100..118: targets from row 119 on wrap to rows 0..63.
      {"rows wrapping at kB",
       [&](uint32_t p) {
         Shape sh;
         for (uint32_t b = 100; b < kB; ++b) {
           uint32_t rl = b * kC + random(kC);
           sh.left.push_back(rl);
           const auto wrap = static_cast<uint32_t>(kB - b);  // the first m past row 118
           plant(sh, rl, p, {wrap, wrap + 1, 63, 0});
         }
         for (int i = 0; i < 40; ++i) sh.right.push_back(random(kBc));
         return sh;
       },
       {1, 7, 40}},
      // Columns near kC - 1: most targets wrap past column 126.
      {"columns wrapping at kC",
       [&](uint32_t p) {
         Shape sh;
         for (uint32_t c = kC - 12; c < kC; ++c) {
           uint32_t rl = random(kB) * kC + c;
           sh.left.push_back(rl);
           plant(sh, rl, p, {1, 31, 32, 33, 62});
         }
         return sh;
       },
       {3, 30}},
      // Every r of one right row (127 distinct columns in it) and all 64 targets of most left
      // entries: more than two hits an entry, 32 entries in a row with 64 each.
      {"a full row and every target",
       [&](uint32_t p) {
         Shape sh;
         uint32_t row = random(kB);
         for (uint32_t c = 0; c < kC; ++c) sh.right.push_back(row * kC + c);
         uint32_t rl = random(kBc);
         for (uint32_t m = 0; m < 64; ++m) sh.right.push_back(TargetOf(rl, p, m));
         for (int i = 0; i < 70; ++i) sh.left.push_back(i > 32 && i % 3 == 0 ? random(kBc) : rl);
         return sh;
       },
       {63, 64, 65, 2047, 2048, 2049}},
      // Equal r values: chains of two to five, cut inside them.
      {"chains of equal r",
       [&](uint32_t p) {
         Shape sh;
         for (int i = 0; i < 6; ++i) {
           uint32_t rl = random(kBc);
           sh.left.push_back(rl);
           uint32_t t = TargetOf(rl, p, random(64));
           for (int k = 0; k < 2 + i % 4; ++k) sh.right.push_back(t);
           sh.right.push_back(random(kBc));
         }
         return sh;
       },
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      // Right keys past kBC are indexed but never a target, whatever row they would alias.
      {"right keys past kBC",
       [&](uint32_t p) {
         Shape sh;
         for (uint32_t r = kBc; r < (1u << 14); r += 3) sh.right.push_back(r);
         for (int i = 0; i < 50; ++i) {
           uint32_t rl = random(kBc);
           sh.left.push_back(rl);
           if (i % 5 == 0) plant(sh, rl, p, {random(64)});
         }
         return sh;
       },
       {2, 5}},
      // A left key past kBC in the second chunk of 32: fails unless the output fills first.
      {"left key past kBC",
       [&](uint32_t p) {
         Shape sh;
         for (int i = 0; i < 45; ++i) {
           uint32_t rl = random(kBc);
           sh.left.push_back(i == 37 ? static_cast<uint32_t>(kBc) + random((1u << 14) - kBc) : rl);
           plant(sh, rl, p, {random(64), random(64)});
         }
         return sh;
       },
       {0, 1, 31, 60, 70}},
      {"left key past kBC first",
       [&](uint32_t p) {
         Shape sh;
         sh.left = {(1u << 14) - 1, 5};
         plant(sh, 5, p, {0});
         return sh;
       },
       {0}},
  };
  for (const Case& c : cases) {
    for (uint32_t parity = 0; parity < 2; ++parity)
      CheckShape(c.name, c.make(parity), parity, c.cuts);
  }
}

TEST(FindMatches, ChainOrderAndEmptyGroups) {
  auto s = std::make_unique<MatchScratch>();
  std::memset(s.get(), 0, sizeof(MatchScratch));
  const uint64_t g = 10;  // even group
  uint32_t target = MatchTargets[0][500][5];
  Group<8, 4> left, right;
  left.Add(500, 10);
  for (uint32_t i = 0; i < 10; ++i) {
    // Right entries 3 and 7 share the target; the others have an r no left entry targets.
    right.Add(i == 3 || i == 7 ? target : (MatchTargets[0][500][5] + 1 + i) % kBc, 11);
  }
  for (uint32_t i = 0; i < 10; ++i) {
    if (i != 3 && i != 7) {
      ASSERT_FALSE(RowHas(MatchTargets[0][500], right.r[i])) << i;
    }
  }
  MatchPair out[8];
  ASSERT_EQ(FindMatches(*s, left.Keys(), 1, right.Keys(), 10, g & 1, out, 8), 2u);
  EXPECT_EQ(out[0].right, 3);
  EXPECT_EQ(out[1].right, 7);
  // A third entry with the same r (index 9) comes first, then 3 and 7.
  std::memcpy(right.bytes.data() + 9 * 8 + 4, right.bytes.data() + 3 * 8 + 4, 4);
  ASSERT_EQ(FindMatches(*s, left.Keys(), 1, right.Keys(), 10, g & 1, out, 8), 3u);
  EXPECT_EQ(out[0].right, 9);
  EXPECT_EQ(out[1].right, 3);
  EXPECT_EQ(out[2].right, 7);
  EXPECT_TRUE(IndexIsClear(*s));
  // Empty sides give nothing and leave the scratch clear.
  EXPECT_EQ(FindMatches(*s, left.Keys(), 0, right.Keys(), 10, 0, out, 8), 0u);
  EXPECT_TRUE(IndexIsClear(*s));
  EXPECT_EQ(FindMatches(*s, left.Keys(), 1, right.Keys(), 0, 0, out, 8), 0u);
  EXPECT_TRUE(IndexIsClear(*s));
  // No targets in the right group: zero pairs, index all zero afterwards.
  Group<8, 4> miss;
  for (uint32_t t = 0; t < 200; ++t) {
    uint32_t r = (target + 1 + t) % kBc;
    if (!RowHas(MatchTargets[0][500], r)) miss.Add(r, 11);
  }
  EXPECT_EQ(FindMatches(*s, left.Keys(), 1, miss.Keys(), miss.Count(), 0, out, 8), 0u);
  EXPECT_TRUE(IndexIsClear(*s));
}

TEST(FindMatches, OversizedOrCorruptGroupsFailCleanly) {
  auto s = std::make_unique<MatchScratch>();
  std::memset(s.get(), 0, sizeof(MatchScratch));
  MatchPair out[4];
  Group<8, 4> one;
  one.Add(100, 0);
  // r values up to 16,383 (a corrupt key) land inside the index and match nothing.
  Group<8, 4> wild;
  for (uint32_t r = 15000; r < 16384; ++r) wild.Add(r, 1);
  EXPECT_EQ(FindMatches(*s, one.Keys(), 1, wild.Keys(), wild.Count(), 0, out, 4), 0u);
  // Nor for a left entry whose 64 target rows run past the last row and start over.
  Group<8, 4> past, wrapping;
  for (uint32_t r = kBc; r < 16384; ++r) past.Add(r, 1);
  wrapping.Add(118 * kC, 0);
  EXPECT_EQ(FindMatches(*s, wrapping.Keys(), 1, past.Keys(), past.Count(), 0, out, 4), 0u);
  EXPECT_TRUE(IndexIsClear(*s));
  // Too many right entries to number in 15 bits.
  Group<8, 4> huge;
  for (uint32_t i = 0; i < 32768; ++i) huge.Add(i % kBc, 1);
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, one.Keys(), 1, huge.Keys(), 32768, 0, out, 4); }),
            "3E9C0A51");
  EXPECT_TRUE(IndexIsClear(*s));
  // 32,767 entries pass the size check, but their repeated r values overflow the chain nodes.
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, one.Keys(), 1, huge.Keys(), 32767, 0, out, 4); }),
            "C40D7E85");
  EXPECT_TRUE(IndexIsClear(*s));
  // Chains: 1,888 nodes hold 944 pairs of equal r; one more repeat fails.
  Group<8, 4> dup;
  for (uint32_t i = 0; i < 944; ++i) {
    dup.Add(i, 1);
    dup.Add(i, 1);
  }
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, one.Keys(), 1, dup.Keys(), dup.Count(), 0, out, 4); }),
            "no exception");
  EXPECT_TRUE(IndexIsClear(*s));
  dup.Add(5, 1);
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, one.Keys(), 1, dup.Keys(), dup.Count(), 0, out, 4); }),
            "C40D7E85");
  EXPECT_TRUE(IndexIsClear(*s));
  // A left r outside the group width, too many left entries, a parity above 1.
  Group<8, 4> badLeft;
  badLeft.Add(kBc, 0);
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, badLeft.Keys(), 1, one.Keys(), 1, 0, out, 4); }),
            "71F3B2D8");
  EXPECT_TRUE(IndexIsClear(*s));
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, one.Keys(), 65537, one.Keys(), 1, 0, out, 4); }),
            "9B27F4C6");
  EXPECT_EQ(ThrownText([&] { FindMatches(*s, one.Keys(), 1, one.Keys(), 1, 2, out, 4); }),
            "5AD60E1F");
  // The scratch still serves a normal call afterwards.
  Group<8, 4> hit;
  hit.Add(MatchTargets[0][100][0], 1);
  EXPECT_EQ(FindMatches(*s, one.Keys(), 1, hit.Keys(), 1, 0, out, 4), 1u);
  EXPECT_TRUE(IndexIsClear(*s));
}

}  // namespace
