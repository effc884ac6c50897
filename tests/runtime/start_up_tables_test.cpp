#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>

#include "runtime/bucket_entry_counts.h"
#include "runtime/combination_tables.h"
#include "runtime/file_error_texts.h"
#include "runtime/mining_capacity_table.h"
#include "runtime/size_suffix_table.h"
#include "runtime/test_challenges.h"

namespace {

using U128 = unsigned __int128;

uint64_t Choose(uint64_t n, uint64_t k) {
  U128 value = 1;
  for (uint64_t i = 0; i < k; ++i) value = value * (n - i) / (i + 1);
  return static_cast<uint64_t>(value);
}

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
  EXPECT_EQ(top.a, 65535u);
  EXPECT_EQ(top.b, 65535u);
  EXPECT_EQ(top.c, 65535u);
  EXPECT_EQ(top.d, 65535u);
  // Brute force over a small range: every ordered quadruple with a < 12 appears exactly once,
  // in increasing order of its code.
  uint64_t expected = 0;
  for (uint32_t a = 0; a < 12; ++a) {
    for (uint32_t b = 0; b <= a; ++b) {
      for (uint32_t c = 0; c <= b; ++c) {
        for (uint32_t d = 0; d <= c; ++d) {
          const Combination4 got = DecodeCombination4(expected);
          ASSERT_EQ(got.a, a);
          ASSERT_EQ(got.b, b);
          ASSERT_EQ(got.c, c);
          ASSERT_EQ(got.d, d);
          ASSERT_EQ(EncodeCombination4({a, b, c, d}), expected);
          ++expected;
        }
      }
    }
  }
}

TEST(TestChallenges, DecodeToOrderedValuesAndReencode) {
  std::set<uint64_t> distinct(TestChallenges.begin(), TestChallenges.end());
  EXPECT_EQ(distinct.size(), TestChallenges.size());
  for (uint64_t v : TestChallenges) {
    ASSERT_LT(v, CombinationTables.c4[65536]);
    const Combination4 q = DecodeCombination4(v);
    EXPECT_LE(q.a, 65535u);
    EXPECT_GE(q.a, q.b);
    EXPECT_GE(q.b, q.c);
    EXPECT_GE(q.c, q.d);
    EXPECT_EQ(
        CombinationTables.c4[q.a] + CombinationTables.c3[q.b] + CombinationTables.c2[q.c] + q.d, v);
    // a is the largest n with c4[n] <= v.
    EXPECT_LE(CombinationTables.c4[q.a], v);
    EXPECT_GT(CombinationTables.c4[q.a + 1], v);
  }
}

TEST(BucketEntryCounts, SumToTwoToThe32WithinBounds) {
  EXPECT_EQ(std::accumulate(BucketEntryCounts.begin(), BucketEntryCounts.end(), uint64_t{0}),
            uint64_t{1} << 32);
  // About 2^25 each: no bucket is empty or holds more than a bucket region is sized for.
  for (uint32_t count : BucketEntryCounts) EXPECT_NEAR(count, 1u << 25, 1u << 21);
}

TEST(MiningCapacityTable, MonotoneRows) {
  for (size_t i = 1; i < MiningCapacityTable.size(); ++i) {
    EXPECT_LT(MiningCapacityTable[i].millisecondsPerProof,
              MiningCapacityTable[i - 1].millisecondsPerProof);
    EXPECT_GT(MiningCapacityTable[i].plotCount, MiningCapacityTable[i - 1].plotCount);
  }
}

TEST(SizeSuffixTable, LooksUpInAnyCase) {
  EXPECT_EQ(FindSizeSuffix("b"), 1);
  EXPECT_EQ(FindSizeSuffix("n"), kPlotCountSuffix);
  for (const char* refused : {"", "X", "KIBB", "IB", "NB"}) {
    EXPECT_EQ(FindSizeSuffix(refused), std::nullopt) << refused;
  }
  // Each of K M G T P, alone or with B or IB, in lower and upper case: 2^10 .. 2^50.
  const std::string letters = "kmgtp";
  for (size_t i = 0; i < letters.size(); ++i) {
    const int64_t expected = int64_t{1} << (10 * (i + 1));
    for (const char* tail : {"", "b", "ib", "B", "IB", "iB"}) {
      for (char letter : {letters[i], static_cast<char>(letters[i] - 'a' + 'A')}) {
        EXPECT_EQ(FindSizeSuffix(std::string(1, letter) + tail), expected) << letter << tail;
      }
    }
  }
  EXPECT_EQ(SizeSuffixTable.size(), 17u);
}

TEST(FileErrorTexts, TextsAndCodedMessages) {
  EXPECT_EQ(FileErrorText(FileError::kInvalidTempFile, "44330887"), "invalid temp file: 44330887");
  EXPECT_EQ(FileErrorText(FileError::kInvalidPlotFile, "52ADDDEC"), "invalid plot file: 52ADDDEC");
  EXPECT_EQ(FileErrorText(FileError::kFailedToAllocateMemory, "72F8F5E5"),
            "failed to allocate memory: 72F8F5E5");
  std::set<std::string> distinct(FileErrorTexts.begin(), FileErrorTexts.end());
  EXPECT_EQ(distinct.size(), FileErrorTexts.size());
}
