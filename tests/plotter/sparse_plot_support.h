#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "plotter/combination_tables.h"
#include "tests/plotter/plot_test_support.h"

// A complete sparse plot whose tables 1-4 hold line points of random pairs of the table below,
// and the tables its final plot must hold, worked out from the pairs themselves.
struct SparseCase {
  TestPlot plot;
  std::vector<std::vector<uint64_t>> expected{6};
};

// `scale` multiplies the table sizes (120000, 100000, 100000, 90000, 80000, 60000).
inline SparseCase MakeSparseCase(uint64_t seed, uint64_t scale = 1) {
  uint64_t counts[6] = {120000, 100000, 100000, 90000, 80000, 60000};
  for (uint64_t& count : counts) count *= scale;
  std::mt19937_64 random(seed);
  std::vector<std::vector<uint64_t>> values(6);
  std::vector<std::vector<std::array<uint64_t, 3>>> pairs(6);  // {line point, x, y}
  // Table 0 values lie in the range of a level-2 entry.
  const uint64_t m = (1 << 14) - 1;
  const uint64_t range =
      m + CombinationTables.c2[m] + CombinationTables.c3[m] + CombinationTables.c4[m];
  for (uint64_t i = 0; i < counts[0]; ++i) values[0].push_back(random() % range);
  for (int t = 1; t < 5; ++t) {
    for (uint64_t i = 0; i < counts[t]; ++i) {
      const uint64_t x = 1 + random() % (counts[t - 1] - 1), y = random() % x;
      pairs[t].push_back({x * (x - 1) / 2 + y, x, y});
    }
    std::sort(pairs[t].begin(), pairs[t].end());
    for (const auto& p : pairs[t]) values[t].push_back(p[0]);
  }
  values[5] = SortedValues(counts[5], 1 << 20, seed);
  std::sort(values[0].begin(), values[0].end());
  std::vector<EncodedTable> tables(6);
  for (int t = 0; t < 6; ++t) {
    tables[t] = EncodeTable(values[t], std::max<uint64_t>(values[t].back() / counts[t], 1), t == 5);
  }
  SparseCase out{TestPlot::FromTables(std::move(tables))};
  out.plot.header.sparse = 1;
  out.expected[5] = values[5];
  std::vector<uint64_t> used(counts[4], 1), rank;
  for (int t = 4; t >= 1; --t) {
    std::vector<uint64_t> below(counts[t - 1], 0);
    for (uint64_t i = 0; i < counts[t]; ++i) below[pairs[t][i][1]] |= used[i];
    for (uint64_t i = 0; i < counts[t]; ++i) below[pairs[t][i][2]] |= used[i];
    rank.resize(below.size());
    std::exclusive_scan(below.begin(), below.end(), rank.begin(), uint64_t{0});
    for (uint64_t i = 0; i < counts[t]; ++i) {
      const uint64_t x = rank[pairs[t][i][1]], y = rank[pairs[t][i][2]];
      if (used[i]) out.expected[t].push_back(x * (x - 1) / 2 + y);
    }
    std::sort(out.expected[t].begin(), out.expected[t].end());
    used = below;
  }
  for (uint64_t i = 0; i < counts[0]; ++i) {
    if (used[i]) out.expected[0].push_back(values[0][i]);
  }
  return out;
}
