#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "prover/plot_access_engine.h"
#include "tests/prover/planted_plot_support.h"
#include "tests/thrown_text.h"

namespace {

using Quad = std::array<uint32_t, 5>;  // four x values and the left pair's y (low 32 bits)

PlotAccessEngineOptions Options(PlotScale scale = {}) { return {2, 1, 0, 4, 1, scale}; }

std::vector<Quad> Recompute(PlotAccessEngine& engine, const uint8_t* id, uint8_t level,
                            const uint32_t prefixes[4], bool lowPriority) {
  uint8_t results[8][16];
  uint64_t y[8];
  const uint64_t n = RecomputeFromPrefixes(engine, id, level, prefixes, results, 8, y, 8, lowPriority);
  std::vector<Quad> out;
  for (uint64_t i = 0; i < n; ++i) {
    Quad& q = out.emplace_back();
    for (int j = 0; j < 4; ++j) q[j] = results[i][4 * j] << 24 | results[i][4 * j + 1] << 16 | results[i][4 * j + 2] << 8 | results[i][4 * j + 3];
    q[4] = static_cast<uint32_t>(y[i]);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The leaf's genuine quadruple with the f2 of its left pair.
Quad Genuine(const PosRecord& r, int leaf) {
  const uint32_t* x = r.proof + 4 * leaf;
  pos_oracle::Bits left, right, meta;
  pos_oracle::Put(left, x[0], 32);
  pos_oracle::Put(right, x[1], 32);
  const uint64_t f = pos_oracle::Fx(2, pos_oracle::F1(r.plotId, x[0]), left, right, meta);
  return {x[0], x[1], x[2], x[3], static_cast<uint32_t>(f)};
}

TEST(PrefixRecompute, RecoversEveryLeafOfGenuineProofsOnBothPoolsAtOnce) {
  const std::vector<PosRecord> records = LoadPosRecords();
  ASSERT_FALSE(records.empty());
  PlotAccessEngine engine(Options(), HeapArena(), {}, {});
  // Two callers at once: the storage must serve them one after the other.
  auto run = [&](bool lowPriority) {
    for (uint8_t level = 0; level <= 4; ++level) {
      const size_t recordCount = level < 3 ? 3 : 1;
      for (size_t n = 0; n < std::min(recordCount, records.size()); ++n) {
        for (int leaf = lowPriority; leaf < (level == 4 ? 4 : 16); leaf += 2) {
          const uint32_t* x = records[n].proof + 4 * leaf;
          uint32_t prefixes[4];  // in a different order for each leaf
          for (int j = 0; j < 4; ++j) prefixes[j] = x[(j + leaf) % 4] >> (16 + level);
          const std::vector<Quad> found = Recompute(engine, records[n].plotId, level, prefixes, lowPriority);
          EXPECT_EQ(std::count(found.begin(), found.end(), Genuine(records[n], leaf)), 1)
              << "record " << n << " level " << int(level) << " leaf " << leaf;
        }
      }
    }
  };
  std::thread other(run, true);
  run(false);
  other.join();
  // Four equal prefixes stand for one prefix's x values.
  const uint32_t same[4] = {7, 7, 7, 7};
  RunF1ForPrefixes(engine.Recompute(), records[0].plotId, 0, same, false);
  uint64_t total = 0;
  for (uint64_t fill : engine.Recompute().fillCounts) total += fill;
  EXPECT_EQ(total, 65536u);
}

TEST(PrefixRecompute, FailuresLeaveTheEngineUsable) {
  const PosRecord r = LoadPosRecords().at(0);
  PlotAccessEngine engine(Options(), HeapArena(), {}, {});
  RecomputeContext& c = engine.Recompute();
  const uint32_t prefixes[4] = {r.proof[0] >> 16, r.proof[1] >> 16, r.proof[2] >> 16, r.proof[3] >> 16};
  struct Fault {
    std::function<void()> before, after;
    uint8_t level;
    uint64_t capacity;
    std::string text;
  };
  BucketWriter<128>& second = *c.writers[1];
  const Fault faults[] = {
      {[] {}, [] {}, 5, 8, "7E4CEF1D"},
      {[&] { second.sink = reinterpret_cast<BucketSink*>(&c); }, [&] { second.sink = nullptr; }, 0, 8, "628B520A"},
      {[&] { second.counts[5] = 1; }, [&] { second.counts[5] = 0; }, 0, 8, "2CE9ACE7"},
      {[&] { c.bucketCapacity = 100; }, [&] { c.bucketCapacity = PrefixBucketCapacity(4); }, 0, 8, "3AD1E0B7"},
      {[&] { c.table2Capacity = 1; }, [&] { c.table2Capacity = PrefixTable2Capacity(4); }, 0, 8, "D2D748AC"},
      {[] {}, [] {}, 0, 0, "2FB035D8"},
  };
  for (const Fault& fault : faults) {
    fault.before();
    uint8_t results[8][16];
    uint64_t y[8];
    EXPECT_EQ(ThrownText([&] { RecomputeFromPrefixes(engine, r.plotId, fault.level, prefixes, results, fault.capacity, y, 8, false); }), fault.text);
    fault.after();
    EXPECT_TRUE(c.writers[0]->Empty() && c.writers[1]->Empty()) << fault.text;
    EXPECT_EQ(Recompute(engine, r.plotId, 0, prefixes, false), std::vector<Quad>{Genuine(r, 0)}) << fault.text;
  }
}

TEST(PrefixRecompute, ThinnedPlotMatchesANaiveReference) {
  const PlotScale scale = PlotScale::WithShift(10);
  PlotAccessEngine engine(Options(scale), HeapArena(), {}, {});
  const PosRecord r = LoadPosRecords().at(1);
  std::mt19937 random(5);
  uint64_t table2Total = 0;
  for (int call = 0; call < 6; ++call) {
    uint32_t prefixes[4];
    for (uint32_t& p : prefixes) p = random() % 4096;
    Recompute(engine, r.plotId, 4, prefixes, false);
    // Naive: every kept x, its thinned y, and every matching pair of adjacent groups of a bucket.
    std::map<uint64_t, std::vector<std::pair<uint64_t, uint32_t>>> groups;  // group -> (y, x)
    for (uint32_t p : std::set<uint32_t>(prefixes, prefixes + 4)) {
      for (uint32_t x = p << 20; x < (p + 1) << 20; x += 16 << scale.d) {
        for (uint32_t j = 0; j < 16; ++j) {
          const uint64_t y = pos_oracle::Thin(pos_oracle::F1(r.plotId, x + j), scale.groups);
          groups[y / pos_oracle::kBC].emplace_back(y, x + j);
        }
      }
    }
    std::vector<std::array<uint64_t, 3>> expected, actual;
    for (const auto& [g, left] : groups) {
      if (!groups.count(g + 1) || (g + 1) % pos_oracle::kGroups == 0) continue;
      for (const auto& [yl, xl] : left) {
        for (const auto& [yr, xr] : groups.at(g + 1)) {
          if (!pos_oracle::Matches(yl, yr)) continue;
          pos_oracle::Bits a, b, meta;
          pos_oracle::Put(a, xl, 32);
          pos_oracle::Put(b, xr, 32);
          const uint64_t f = pos_oracle::Thin(pos_oracle::Fx(2, yl, a, b, meta), scale.groups);
          expected.push_back({xl, xr, f});
        }
      }
    }
    for (uint64_t i = 0; i < engine.Recompute().table2Count.load(); ++i) {
      const F2Entry& e = engine.Recompute().table2[i];
      actual.push_back({__builtin_bswap32(e.xLeftBigEndian), __builtin_bswap32(e.xRightBigEndian), (e.key >> 14) * kBC + (e.key & 0x3FFF)});
    }
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    EXPECT_EQ(actual, expected);
    table2Total += actual.size();
  }
  EXPECT_GT(table2Total, 0u);
}

}  // namespace
