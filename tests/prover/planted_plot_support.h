#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "runtime/combination_tables.h"
#include "tests/chia/pos_verifier.h"
#include "tests/plotter/plot_test_support.h"

// A tiny valid final plot around one genuine proof. Tree nodes: leaves 0-15 (leaf i holds proof
// x values 4i..4i+3), inner node v >= 16 with children 2v-32 and 2v-31, root 30. Table 0 holds
// each leaf's x prefixes at `level` as a combination code, tables 1-4 the line points of the
// children's positions, table 5 (f7 >> 6) * D + the root's position, D = table 4's entry count.
// `fillers` random entries join each of tables 0-4; `extra` adds table-5 entries (f, p mod D).
struct PlantedPlot {
  TestPlot plot;
  uint64_t positions[31];
  uint64_t divisor;
};

inline uint64_t PrefixCode(uint32_t p[4]) {
  std::sort(p, p + 4, std::greater<>());
  return EncodeCombination4({p[0], p[1], p[2], p[3]});
}

inline PlantedPlot BuildPlantedPlot(const PosRecord& record, uint8_t level, uint64_t fillers = 0,
                                    const std::vector<std::pair<uint64_t, uint64_t>>& extra = {}) {
  std::mt19937_64 random(level + 31 * fillers);
  PlantedPlot out{};
  std::vector<EncodedTable> tables(kPlotTableCount);
  uint64_t below = 0;
  for (int t = 0, first = 0; t < 5; first += 16 >> t, ++t) {
    std::vector<std::pair<uint64_t, int>> entries;  // (value, node; -1 for a filler)
    for (int node = first; node < first + (16 >> t); ++node) {
      uint32_t p[4];
      for (int j = 0; j < 4; ++j) p[j] = record.proof[4 * node + j] >> (16 + level);
      const uint64_t a = out.positions[std::max(2 * node - 32, 0)], b = out.positions[std::max(2 * node - 31, 0)];
      entries.emplace_back(t == 0 ? PrefixCode(p) : std::max(a, b) * (std::max(a, b) - 1) / 2 + std::min(a, b), node);
    }
    for (uint64_t k = 0; k < fillers; ++k) {
      uint32_t p[4];
      for (uint32_t& v : p) v = random() >> (48 + level);
      const uint64_t a = t == 0 ? 1 : 1 + random() % (below - 1), b = random() % a;
      entries.emplace_back(t == 0 ? PrefixCode(p) : a * (a - 1) / 2 + b, -1);
    }
    std::sort(entries.begin(), entries.end());
    std::vector<uint64_t> values;
    for (const auto& [value, node] : entries) {
      if (node >= 0) out.positions[node] = values.size();
      values.push_back(value);
    }
    below = values.size();
    tables[t] = EncodeTable(values, std::clamp<uint64_t>(values.back() / below, 1 << 12, uint64_t{1} << 40), false);
  }
  out.divisor = below;
  uint64_t f7 = 0;
  pos_oracle::VerifyProof(record.plotId, record.challenge, record.proof, &f7);
  std::vector<uint64_t> last{(f7 >> 6) * below + out.positions[30]};
  for (const auto& [f, p] : extra) last.push_back(f * below + p % below);
  std::sort(last.begin(), last.end());
  tables[5] = EncodeTable(last, std::clamp<uint64_t>(last.back() / last.size(), 1 << 12, uint64_t{1} << 40), true, below);
  out.plot = TestPlot::FromTables(std::move(tables));
  out.plot.header.level = level;
  std::copy(record.plotId, record.plotId + 32, out.plot.header.plotId);
  return out;
}
