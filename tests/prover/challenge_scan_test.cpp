#include <gtest/gtest.h>

#include "chia/park_decoder.h"
#include "prover/challenge_scan_job.h"
#include "prover/plot_access_engine.h"
#include "tests/prover/planted_plot_support.h"
#include "tests/support/thrown_text.h"

namespace {

struct Outcome {
  std::vector<uint64_t> positions;
  std::string failure;
};

Outcome Scan(const TestPlot& plot, uint64_t target,
             const std::function<void(PlotHeader&)>& tamper = {}) {
  TestDirectory dir;
  plot.Write(dir.Path() / "p");
  PlotAccessEngine engine({1, 1, 0, 4, 0, {}}, HeapArena(), {}, {});
  auto file = OpenPlotFile(engine, dir.Path() / "p", 0);
  if (tamper) tamper(file->header);
  const uint8_t challenge[32] = {uint8_t(target >> 24), uint8_t(target >> 16), uint8_t(target >> 8),
                                 uint8_t(target)};
  auto job = engine.QueueChallengeScan(file.get(), challenge, 0, nullptr, nullptr);
  const std::string failure = ThrownText([&] { job->Wait(); });
  EXPECT_FALSE(job->IsReady(kStageRead) || job->IsReady(kStageCompute) || job->IsReady(kStageTree));
  return {std::vector<uint64_t>(job->Positions(), job->Positions() + job->Count()), failure};
}

TEST(ChallengeScan, FindsEachGenuineRootAndNothingElse) {
  for (const PosRecord& r : LoadPosRecords()) {
    const uint64_t target = uint64_t{r.challenge[0]} << 24 | r.challenge[1] << 16 |
                            r.challenge[2] << 8 | r.challenge[3];
    const PlantedPlot planted = BuildPlantedPlot(r, 2, 30, {{target + 1, 3}, {target - 1, 5}});
    EXPECT_EQ(Scan(planted.plot, target).positions, std::vector<uint64_t>{planted.positions[30]});
    EXPECT_EQ(Scan(planted.plot, target + 2).positions, std::vector<uint64_t>{});
    EXPECT_EQ(Scan(planted.plot, target, [](PlotHeader& h) { h.tables[4].entryCount = 0; }).failure,
              "invalid plot file: E8A1C64B");
  }
}

// A table 5 of many blocks: background entries with positions below D/2, and `run` more with the
// quotient of block 0's anchor and positions from D/2, which follow that anchor into block 1.
TEST(ChallengeScan, RunsAcrossBlocksTheLimitAndTargetsBeyondOneWindow) {
  const PosRecord r = LoadPosRecords().at(0);
  std::mt19937_64 random(9);
  std::vector<std::pair<uint64_t, uint64_t>> extra(1200000);
  for (auto& [f, p] : extra) f = random() >> 32, p = random() % 200;
  const PlantedPlot base = BuildPlantedPlot(r, 0, 400, extra);
  const uint64_t d = base.divisor;
  const EncodedTable& table = base.plot.tables[5];
  ParkDecoder decoder;
  decoder.Init(table.record.coding, true, false);
  std::vector<uint64_t> values(65536);
  uint64_t unused = 0;
  auto anchor = [&](uint64_t block) {
    return decoder
        .Decode(table.parks.data() + block * 65536, 65536, values.data(), 65536, unused, false,
                true)
        .second[0];
  };
  ASSERT_GT(table.record.blockCount, 40u);
  const uint64_t first = anchor(0);
  for (uint64_t run : {20, 127, 128}) {
    auto more = extra;
    std::vector<uint64_t> expected{first % d};
    for (uint64_t i = 0; i < run; ++i)
      more.emplace_back(first / d, d / 2 + i), expected.push_back(d / 2 + i);
    const Outcome out = Scan(BuildPlantedPlot(r, 0, 400, more).plot, first / d);
    EXPECT_EQ(out.positions, run < 128 ? expected : std::vector<uint64_t>{}) << run;
    EXPECT_EQ(out.failure, run < 128 ? "no exception" : "invalid plot file: 52ADDDEC") << run;
  }
  // An index whose range spans the whole table: the target lies past the first 32 blocks.
  const uint64_t far = anchor(36);
  const Outcome out = Scan(base.plot, far / d, [&](PlotHeader& h) {
    h.tables[5].index.scale = 0;
    h.tables[5].index.pairs[0] = {0, int16_t(h.tables[5].blockCount - 1)};
  });
  EXPECT_EQ(out.positions, std::vector<uint64_t>{far % d});
}

}  // namespace
