#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "plotter/bucket_entry_counts.h"
#include "plotter/combination_tables.h"
#include "plotter/match_kernels.h"
#include "tests/plotter/plot_test_support.h"

namespace {

using U128 = unsigned __int128;

}  // namespace

TEST(CombinationTables, KnownValuesAndClosedForms) {
  const CombinationTableSet& t = CombinationTables;
  EXPECT_EQ(t.c4[65536], Choose(65539, 4));
  // Every entry against the closed forms, in 128-bit arithmetic (n(n+1)(n+2)(n+3) overflows 64).
  int mismatches = 0;
  for (U128 n = 0; n < CombinationTableSet::kSize; ++n) {
    mismatches += t.c2[n] != static_cast<uint64_t>(n * (n + 1) / 2);
    mismatches += t.c3[n] != static_cast<uint64_t>(n * (n + 1) * (n + 2) / 6);
    mismatches += t.c4[n] != static_cast<uint64_t>(n * (n + 1) * (n + 2) * (n + 3) / 24);
  }
  EXPECT_EQ(mismatches, 0);
}

// The encoder computes what the tables hold: every component value, at the top of each range.
TEST(CombinationTables, EncodeAgreesWithTheTablesForEveryComponentValue) {
  const CombinationTableSet& t = CombinationTables;
  int mismatches = 0;
  for (uint32_t n = 0; n < 65536; ++n) {
    mismatches += EncodeCombination4({n, 0, 0, 0}) != t.c4[n];
    mismatches += EncodeCombination4({65535, n, 0, 0}) != t.c4[65535] + t.c3[n];
    mismatches += EncodeCombination4({65535, 65535, n, 0}) != t.c4[65535] + t.c3[65535] + t.c2[n];
    mismatches += EncodeCombination4({n, n, n, n}) != t.c4[n] + t.c3[n] + t.c2[n] + n;
  }
  EXPECT_EQ(mismatches, 0);
}

// Every order of four x values, with and without ties, gives the code of their prefixes taken
// largest first; a level of 16 leaves every prefix 0.
TEST(CombinationTables, PrefixCodeOrdersTheFourPrefixesWhateverTheInputOrder) {
  const uint32_t sets[][4] = {{0xFFFFFFFF, 0x12345678, 0x80000000, 0x00010000},
                              {0xAAAA0000, 0xAAAA0000, 0x5555FFFF, 0x00000000},
                              {7, 7, 7, 7}};
  for (const auto& set : sets) {
    for (const uint8_t level : {0, 1, 5, 16}) {
      uint32_t x[4] = {set[0], set[1], set[2], set[3]};
      std::sort(x, x + 4);
      uint32_t p[4];
      for (int i = 0; i < 4; ++i) p[i] = level >= 16 ? 0 : x[3 - i] >> (16 + level);
      const uint64_t expected = EncodeCombination4({p[0], p[1], p[2], p[3]});
      do {
        EXPECT_EQ(PrefixCode(x, level), expected)
            << x[0] << " " << x[1] << " " << x[2] << " " << x[3];
      } while (std::next_permutation(x, x + 4));
    }
  }
}

TEST(CombinationTables, DecodeEncodeRoundTrips) {
  const Combination4 zero = DecodeCombination4(0);
  EXPECT_EQ(zero.a + zero.b + zero.c + zero.d, 0u);
  // The largest encodable value is all four at their maximum.
  const Combination4 top = DecodeCombination4(CombinationTables.c4[65536] - 1);
  EXPECT_TRUE(top.a == 65535 && top.b == 65535 && top.c == 65535 && top.d == 65535);
  // Brute force over a small range: every ordered quadruple with a < 12 appears exactly once,
  // in increasing order of its code.
  uint64_t expected = 0;
  for (uint32_t a = 0; a < 12; ++a) {
    for (uint32_t b = 0; b <= a; ++b) {
      for (uint32_t c = 0; c <= b; ++c) {
        for (uint32_t d = 0; d <= c; ++d) {
          const Combination4 got = DecodeCombination4(expected);
          ASSERT_TRUE(got.a == a && got.b == b && got.c == c && got.d == d) << expected;
          ASSERT_EQ(EncodeCombination4({a, b, c, d}), expected);
          ++expected;
        }
      }
    }
  }
}

TEST(BucketEntryCounts, SumToTwoToThe32WithinBounds) {
  EXPECT_EQ(std::accumulate(BucketEntryCounts.begin(), BucketEntryCounts.end(), uint64_t{0}),
            uint64_t{1} << 32);
  // About 2^25 each: no bucket is empty or holds more than a bucket region is sized for.
  for (uint32_t count : BucketEntryCounts) EXPECT_NEAR(count, 1u << 25, 1u << 21);
}
