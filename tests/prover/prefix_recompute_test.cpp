#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "prover/plot_access_engine.h"
#include "tests/prover/planted_plot_support.h"
#include "tests/support/thrown_text.h"

namespace {

using Result = std::array<uint64_t, 5>;  // four x values, then the left pair's f2

std::vector<Result> Recompute(PlotAccessEngine& engine, const uint8_t* id, uint8_t level,
                              const uint32_t prefixes[4], bool low = false, uint64_t room = 8) {
  uint32_t x[8][4];
  uint64_t y[8];
  const uint64_t n = RecomputeFromPrefixes(engine, id, level, prefixes,
                                           reinterpret_cast<uint8_t(*)[16]>(x), room, y, 8, low);
  std::vector<Result> out;
  for (uint64_t i = 0; i < n; ++i)
    out.push_back({__builtin_bswap32(x[i][0]), __builtin_bswap32(x[i][1]),
                   __builtin_bswap32(x[i][2]), __builtin_bswap32(x[i][3]), y[i]});
  return out;
}

Result Genuine(const PosRecord& r, int leaf) {
  const uint32_t* x = r.proof + 4 * leaf;
  pos_oracle::Bits meta;
  return {x[0], x[1], x[2], x[3],
          pos_oracle::Fx(2, pos_oracle::F1(r.plotId, x[0]), pos_oracle::Put(x[0], 32),
                         pos_oracle::Put(x[1], 32), meta)};
}

TEST(PrefixRecompute, RecoversEveryLeafOfGenuineProofsOnBothPoolsAtOnce) {
  const std::vector<PosRecord> records = LoadPosRecords();
  PlotAccessEngine engine({2, 1, 0, 4, 1, {}}, HeapArena(), {}, {});
  // Two callers at once, one per pool: the storage must serve them one after the other.
  auto run = [&](bool low) {
    for (uint8_t level = 0; level <= 4; ++level) {
      for (size_t n = 0; n < std::min<size_t>(level < 3 ? 2 : 1, records.size()); ++n) {
        for (int leaf = low; leaf < (level == 4 ? 4 : 16); leaf += 2) {
          uint32_t prefixes[4];  // in another order for each leaf
          for (int j = 0; j < 4; ++j)
            prefixes[j] = records[n].proof[4 * leaf + (j + leaf) % 4] >> (16 + level);
          const std::vector<Result> found =
              Recompute(engine, records[n].plotId, level, prefixes, low);
          EXPECT_EQ(std::count(found.begin(), found.end(), Genuine(records[n], leaf)), 1)
              << n << " " << int(level) << " " << leaf;
        }
      }
    }
  };
  std::thread other(run, true);
  run(false);
  other.join();
  const uint32_t same[4] = {7, 7, 7, 7};  // one prefix's x values, once
  RunF1ForPrefixes(engine.Recompute(), records.at(0).plotId, 0, same, false);
  const uint64_t* fills = engine.Recompute().fillCounts;
  EXPECT_EQ(std::accumulate(fills, fills + 128, uint64_t{0}), 65536u);
}

TEST(PrefixRecompute, FailuresLeaveTheEngineUsable) {
  const PosRecord r = LoadPosRecords().at(0);
  PlotAccessEngine engine({2, 1, 0, 4, 0, {}}, HeapArena(), {}, {});
  RecomputeContext& c = engine.Recompute();
  const uint32_t prefixes[4] = {r.proof[0] >> 16, r.proof[1] >> 16, r.proof[2] >> 16,
                                r.proof[3] >> 16};
  BucketWriter<128>& second = *c.writers[1];
  struct Fault {
    std::function<void(bool)> set;  // true: break, false: mend
    uint8_t level;
    uint64_t room;
    std::string text;
  } faults[] = {
      {[](bool) {}, 5, 8, "7E4CEF1D"},
      {[&](bool on) { second.sink = on ? reinterpret_cast<BucketSink*>(&c) : nullptr; }, 0, 8,
       "628B520A"},
      {[&](bool on) { second.counts[5] = on; }, 0, 8, "2CE9ACE7"},
      {[&](bool on) { c.bucketCapacity = on ? 100 : PrefixBucketCapacity(4); }, 0, 8, "3AD1E0B7"},
      {[&](bool on) { c.table2Capacity = on ? 1 : PrefixTable2Capacity(4); }, 0, 8, "D2D748AC"},
      {[](bool) {}, 0, 0, "2FB035D8"},
  };
  for (const Fault& f : faults) {
    f.set(true);
    EXPECT_EQ(ThrownText([&] { Recompute(engine, r.plotId, f.level, prefixes, false, f.room); }),
              f.text);
    f.set(false);
    EXPECT_TRUE(c.writers[0]->Empty() && c.writers[1]->Empty()) << f.text;
    EXPECT_EQ(Recompute(engine, r.plotId, 0, prefixes), std::vector<Result>{Genuine(r, 0)})
        << f.text;
  }
}

TEST(PrefixRecompute, ThinnedTableTwoMatchesANaiveReference) {
  const PlotScale scale = PlotScale::WithShift(10);
  PlotAccessEngine engine({2, 1, 0, 4, 0, scale}, HeapArena(), {}, {});
  const PosRecord r = LoadPosRecords().at(1);
  std::mt19937 random(5);
  uint64_t total = 0;
  for (int call = 0; call < 6; ++call) {
    uint32_t prefixes[4];
    for (uint32_t& p : prefixes) p = random() % 4096;
    Recompute(engine, r.plotId, 4, prefixes);
    std::map<uint64_t, std::vector<std::pair<uint64_t, uint32_t>>> groups;  // group: (y, x)
    for (uint32_t p : std::set<uint32_t>(prefixes, prefixes + 4)) {
      for (uint64_t x = p << 20; x < uint64_t{p + 1} << 20; ++x) {
        if (!scale.KeepsF1Block(x >> 4)) continue;
        const uint64_t y = scale.RemapY(pos_oracle::F1(r.plotId, x));
        groups[y / kBC].emplace_back(y, x);
      }
    }
    std::multiset<Result> expected, actual;
    for (const auto& [g, left] : groups) {
      for (const auto& [yl, xl] : left) {
        for (const auto& [yr, xr] : groups[g + 1]) {
          pos_oracle::Bits meta;
          const uint64_t f =
              pos_oracle::Fx(2, yl, pos_oracle::Put(xl, 32), pos_oracle::Put(xr, 32), meta);
          if (pos_oracle::Matches(yl, yr)) expected.insert({xl, xr, scale.RemapY(f)});
        }
      }
    }
    for (uint64_t i = 0; i < engine.Recompute().table2Count.load(); ++i) {
      const F2Entry& e = engine.Recompute().table2[i];
      actual.insert({__builtin_bswap32(e.xLeftBigEndian), __builtin_bswap32(e.xRightBigEndian),
                     (e.key >> 14) * kBC + (e.key & 0x3FFF)});
    }
    EXPECT_EQ(actual, expected);
    total += actual.size();
  }
  EXPECT_GT(total, 0u);
}

}  // namespace
