#include <gtest/gtest.h>

#include <set>

#include "manager/mining_capacity_table.h"
#include "manager/test_challenges.h"
#include "plotter/combination_tables.h"

TEST(TestChallenges, DecodeToOrderedValuesAndReencode) {
  std::set<uint64_t> distinct(TestChallenges.begin(), TestChallenges.end());
  EXPECT_EQ(distinct.size(), TestChallenges.size());
  for (uint64_t v : TestChallenges) {
    ASSERT_LT(v, CombinationTables.c4[65536]);
    const Combination4 q = DecodeCombination4(v);
    EXPECT_GE(q.a, q.b);
    EXPECT_GE(q.b, q.c);
    EXPECT_GE(q.c, q.d);
    EXPECT_EQ(EncodeCombination4(q), v);
  }
}

TEST(MiningCapacityTable, MonotoneRows) {
  for (size_t i = 1; i < MiningCapacityTable.size(); ++i) {
    EXPECT_LT(MiningCapacityTable[i].millisecondsPerProof,
              MiningCapacityTable[i - 1].millisecondsPerProof);
    EXPECT_GT(MiningCapacityTable[i].plotCount, MiningCapacityTable[i - 1].plotCount);
  }
}
