#pragma once

#include <algorithm>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "plotter/combination_tables.h"
#include "tests/chia/pos_verifier.h"
#include "tests/plotter/plot_test_support.h"

// A tiny valid final plot around one genuine proof. Tree nodes: leaf i (0..15) holds proof x
// values 4i..4i+3, inner node v >= 16 has children 2v-32 and 2v-31, node 30 is the root. Table 0
// holds each leaf's x prefixes at `level` as a combination code, tables 1-4 the line points of
// the children's positions, table 5 (f7 >> 6) * D + the root's position with D = table 4's entry
// count. `fillers` random entries join each of tables 0-4; `extra` (f, p) adds f * D + p mod D
// to table 5. `shift` (node) moves a node's position past the table, so its parent's line point
// names a place nothing is stored at.
struct PlantedPlot {
  TestPlot plot;
  uint64_t positions[31];  // each node's position in its table
  uint64_t divisor;
};

inline PlantedPlot BuildPlantedPlot(const PosRecord& record, uint8_t level, uint64_t fillers = 0,
                                    const std::vector<std::pair<uint64_t, uint64_t>>& extra = {},
                                const std::function<uint64_t(int)>& shift = {}) {
  std::mt19937_64 random(level + 31 * fillers);
  PlantedPlot out{};
  std::vector<EncodedTable> tables(kPlotTableCount);
  auto code = [level](auto x) {
    uint32_t p[4] = {x(0) >> (16 + level), x(1) >> (16 + level), x(2) >> (16 + level),
                     x(3) >> (16 + level)};
    std::sort(p, p + 4, std::greater<>());
    return EncodeCombination4({p[0], p[1], p[2], p[3]});
  };
  auto encode = [](const std::vector<uint64_t>& values, bool last, uint64_t divisor) {
    return EncodeTable(
        values, std::clamp<uint64_t>(values.back() / values.size(), 1 << 12, uint64_t{1} << 40),
        last, divisor);
  };
  for (int t = 0, first = 0, below = 0; t < 5; first += 16 >> t, ++t) {
    std::vector<std::pair<uint64_t, int>> entries;  // (value, node; -1 for a filler)
    for (int v = first; v < first + (16 >> t); ++v) {
      const uint64_t a = out.positions[std::max(2 * v - 32, 0)],
                     b = out.positions[std::max(2 * v - 31, 0)];
      entries.emplace_back(t == 0 ? code([&](int j) { return record.proof[4 * v + j]; })
                                  : std::max(a, b) * (std::max(a, b) - 1) / 2 + std::min(a, b),
                           v);
    }
    for (uint64_t k = 0; k < fillers; ++k) {
      const uint64_t a = t == 0 ? 1 : 1 + random() % (below - 1), b = random() % a;
      entries.emplace_back(
          t == 0 ? code([&](int) { return uint32_t(random()); }) : a * (a - 1) / 2 + b, -1);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<uint64_t> values;
    for (const auto& [value, v] : entries) {
      if (v >= 0) out.positions[v] = values.size() + (shift ? shift(v) : 0);
      values.push_back(value);
    }
    below = static_cast<int>(values.size());
    tables[t] = encode(values, false, 0);
  }
  const uint64_t d = out.divisor = tables[4].values.size();
  uint64_t f7 = 0;
  pos_oracle::VerifyProof(record.plotId, record.challenge, record.proof, &f7);
  std::vector<uint64_t> last{(f7 >> 6) * d + out.positions[30]};
  for (const auto& [f, p] : extra) last.push_back(f * d + p % d);
  std::sort(last.begin(), last.end());
  tables[5] = encode(last, true, d);
  out.plot = TestPlot::FromTables(std::move(tables));
  out.plot.header.level = level;
  std::copy(record.plotId, record.plotId + 32, out.plot.header.plotId);
  return out;
}
