#include <gtest/gtest.h>

#include <numeric>

#include "plotter/bucket_entry_counts.h"
#include "plotter/combination_tables.h"
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
