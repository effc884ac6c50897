#include "manager/benchmark.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "manager/client.h"
#include "manager/mining_capacity_table.h"
#include "manager/test_challenges.h"
#include "plotter/combination_tables.h"

namespace {

constexpr uint8_t kBenchmarkPlotId[32] = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr uint64_t kLevelMs = 999;  // each level runs until more than this has passed

// The largest index whose table entry is at most v; v is reduced by that entry.
uint32_t TakeLargest(const uint64_t (&table)[CombinationTableSet::kSize], uint64_t& v,
                     const char* pastEnd) {
  const uint64_t* above = std::upper_bound(std::begin(table), std::end(table), v);
  if (above == std::end(table)) throw std::runtime_error(pastEnd);
  const auto index = static_cast<uint32_t>(above - std::begin(table) - 1);
  v -= table[index];
  return index;
}

}  // namespace

uint64_t MiningCapacity(uint64_t ms) {
  const auto& rows = MiningCapacityTable;
  if (ms > rows.front().millisecondsPerProof) return 0;
  if (ms < rows.back().millisecondsPerProof) return rows.back().plotCount;
  size_t j = 1;
  while (rows[j].millisecondsPerProof > ms) ++j;
  const double msK = rows[j - 1].millisecondsPerProof, msJ = rows[j].millisecondsPerProof;
  const double cK = rows[j - 1].plotCount, cJ = rows[j].plotCount;
  const double t = static_cast<double>(ms);
  return static_cast<uint64_t>(
      std::round(cK + (cJ - cK) * (1 / t - 1 / msK) / (1 / msJ - 1 / msK)));
}

std::string BenchmarkLine(uint32_t level, uint64_t ms) {
  const uint64_t count = MiningCapacity(ms);
  if (count != 0) {
    return std::to_string(count) + " plots with compression level " + std::to_string(level) + " (" +
           std::to_string(ms) + " milliseconds per proof)";
  }
  return "plots with compression level " + std::to_string(level) + " can not be used (" +
         std::to_string(ms) + " milliseconds per proof, exceeded 4 seconds limit)";
}

uint64_t MillisecondsPerProof(uint64_t elapsedMs, uint64_t iterations) {
  const double t = static_cast<double>(elapsedMs) / (static_cast<double>(iterations) * 0.0625);
  return t < 0.001 ? 0 : static_cast<uint64_t>(std::round(t));
}

void Client::RunBenchmark() {
  log_("Starting benchmark");
  log_("This PC is capable to mine on:");
  for (uint8_t level = 0; level <= 4; ++level) {
    if (level > 0 && Engine->Options().maxLevel < level) throw std::runtime_error("44D995C1");
    // Steady clock: a clock step during the second of measuring must not skew the figure.
    const auto start = Now();
    uint64_t challenge = 0, iterations = 0, elapsedMs = 0;
    if (CancelRequest) return;
    for (;;) {
      uint64_t v = TestChallenges[challenge];
      const uint32_t a = TakeLargest(CombinationTables.c4, v, "ED03641D");
      const uint32_t b = TakeLargest(CombinationTables.c3, v, "4C27056E");
      const uint32_t c = TakeLargest(CombinationTables.c2, v, "414B40AC");
      const uint32_t prefixes[4] = {a >> level, b >> level, c >> level,
                                    static_cast<uint32_t>(v) >> level};
      uint8_t results[8][16];
      uint64_t y[8];
      if (RecomputeFromPrefixes(*Engine, kBenchmarkPlotId, level, prefixes, results, 8, y, 8,
                                false) == 0) {
        throw std::runtime_error("A9C03B90");
      }
      challenge = (challenge + 1) % kRecomputableTestChallenges;
      ++iterations;
      elapsedMs = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Now() - start).count());
      if (elapsedMs > kLevelMs) break;
      if (CancelRequest) return;
    }
    const uint64_t ms = MillisecondsPerProof(elapsedMs, iterations);
    if (CancelRequest) return;
    if (level > 0) log_("or");
    log_(BenchmarkLine(level + 1u, ms));
  }
  log_("Benchmark ended");
}
