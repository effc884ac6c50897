#include "plotter/plot_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "plotter/bucket_entry_counts.h"
#include "tests/support/fault_arena.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/thrown_text.h"

namespace {

const PlotScale kThin = PlotScale::WithShift(10);

PlotEngineSettings Settings(uint64_t threads, uint8_t files, PlotScale scale = {}) {
  return {threads, 0, files, scale};
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

TEST(EngineMemory, ProductionFiguresAndRefusals) {
  EXPECT_EQ(EstimateJobMemory(Settings(1, 1)), 1584101928u);
  EXPECT_EQ(EstimateJobMemory(Settings(1, 0)), 10297056u + 1565399880u);
  EXPECT_EQ(ThrownText([] { EstimateJobMemory(Settings(0, 1)); }), "20FC6FEB");
  EXPECT_EQ(ThrownText([] { EstimateJobMemory(Settings(1, 17)); }), "C961616D");
  PlotEngineSettings s = Settings(1, 1);
  EXPECT_EQ(RequiredJobMemory(s), 1584101928u + 1073872896u);
  s.memoryBudget = 1584101928u + 1073741824u;
  EXPECT_EQ(StreamBlockCount(s), 1023u);
  s.memoryBudget = RequiredJobMemory(s);
  EXPECT_EQ(StreamBlockCount(s), 1024u);

  // The table's sum (114,979 MiB) exceeds the uniform 128 x 898 MiB (120,527,519,744 bytes).
  EXPECT_EQ(BucketRegionBytes(1, {}), 120564219904u);
  for (uint64_t files = 1; files <= 16; ++files) {
    uint64_t uniform = 128 * CeilDiv(CeilDiv(33619968, files), 37449), table = 0;
    for (uint64_t c : BucketEntryCounts) table += CeilDiv(CeilDiv(c + 65536, files), 37449);
    EXPECT_EQ(BucketRegionBytes(files, {}), std::max(uniform, table) << 20) << files;
  }
  EXPECT_EQ(ThrownText([] { BucketRegionBytes(17, {}); }), "2A474139");
  EXPECT_EQ(ThrownText([] { BucketRegionBytes(0, {}); }), "6E1D0B93");

  BucketRegion out[128];
  EXPECT_EQ(ThrownText([&] { LayoutBuckets(4, 28, 2, nullptr, out, {}); }), "4AA18EC96");
  EXPECT_EQ(ThrownText([&] { LayoutBuckets(4, 0, 0, nullptr, out, {}); }), "1B8E5D27");
}

// A thinned plot keeps its buckets many spreads wide and a whole input bucket in bucket 0.
TEST(EngineMemory, ThinnedSizesHoldWhatAThinnedPlotPuts) {
  BucketRegion out[128];
  LayoutBuckets(2, 28, 1, BucketEntryCounts.data(), out, kThin);
  for (uint64_t i = 0; i < 128; ++i) {
    // Thinning flattens the table's shape: every bucket holds the flat mean and a margin.
    EXPECT_GE(out[i].capacityEntries, (std::max<uint64_t>(BucketEntryCounts[i], 1u << 25) >> 10) +
                                          10 * 181);
    EXPECT_EQ(out[i].baseOffset % 4096, 0u);
  }
  EXPECT_LE(out[127].baseOffset + out[127].capacityBlocks * 4096,
            8192 + 2 * BucketRegionBytes(2, kThin));
  EXPECT_GE(MemoryBucketCapacity(0, kThin), InputBucketBound(kThin));
  EXPECT_GE(MemoryBucketCapacity(1, kThin), InputBucketBound(kThin) / 256 + 10 * 12);
  EXPECT_LT(EstimateJobMemory(Settings(2, 2, kThin)), 256u << 20);
}

// Every allocation of the engine fails in turn: the failure passes on and nothing is left.
TEST(PlotEngine, BuildsWithinItsBudgetAndUnwindsEveryFailedAllocation) {
  PlotEngineSettings s = Settings(2, 2, kThin);
  s.memoryBudget = RequiredJobMemory(s);
  const auto make = [&](FaultArena& arena) {
    return CreatePlotEngine(
        arena, s, arena, [](const std::string&) {}, nullptr, nullptr);
  };
  FaultArena whole;
  PlotEngineHandle engine = make(whole);
  EXPECT_EQ(engine->stream->BlockCount(), 1024u);
  DeletePlotEngine(engine);
  EXPECT_EQ(whole.outstanding, 0);
  for (uint64_t fail = 1; fail <= whole.allocations; ++fail) {
    if (fail > whole.allocations - 1020 && fail < whole.allocations - 4) continue;  // stream blocks
    FaultArena arena;
    arena.failFrom = fail;
    EXPECT_NE(ThrownText([&] { make(arena); }), "no exception") << fail;
    EXPECT_EQ(arena.outstanding, 0) << fail;
  }
  FaultArena arena;
  s.memoryBudget -= 1;
  EXPECT_EQ(ThrownText([&] { make(arena); }), "BC795C07");
  s = Settings(1, 1);
  s.memoryBudget = EstimateJobMemory(s) + (uint64_t{1} << 30);
  EXPECT_EQ(ThrownText([&] { make(arena); }), "BC795C07");
  s = Settings(1, 0, kThin);
  s.memoryBudget = RequiredJobMemory(s);
  EXPECT_EQ(ThrownText([&] { make(arena); }), "B8AC7EB7");
  EXPECT_EQ(arena.outstanding, 0);
}

TEST(PlotEngine, ProgressStatesAPassThroughTheTempFileAndDeleteWaitingForThePlot) {
  PlotEngineSettings s = Settings(2, 1, kThin);
  s.memoryBudget = RequiredJobMemory(s);
  FaultArena arena;
  PlotEngineHandle engine = CreatePlotEngine(
      arena, s, arena, [](const std::string&) {}, nullptr, nullptr);
  // {state before, allocation (else load) progress, answer, state after}
  for (auto [before, allocate, answer, after] : {std::tuple{4u, true, false, 4u},
                                                 {3u, true, true, 1u},
                                                 {2u, true, true, 1u},
                                                 {1u, true, true, 1u},
                                                 {0u, true, false, 0u},
                                                 {2u, false, true, 2u},
                                                 {3u, false, false, 3u}}) {
    engine->state = before;
    EXPECT_EQ(allocate ? engine->OnAllocateProgress(0.25) : engine->OnLoadProgress(0.25), answer);
    EXPECT_EQ(engine->state, after);
  }
  EXPECT_EQ(engine->progress, 0.25);

  // 5000 keys of every thinned group go to temp bucket 3 and come back spread and sorted.
  TestDirectory dir;
  engine->tempFiles[0]->Open(dir / "temp0", true);
  DirectFile* files[1] = {engine->tempFiles[0]};
  std::array<BucketRegion, 128> a, b;
  for (uint64_t i = 0; i < 128; ++i) {
    a[i] = {8192 + i * 65536, 16, 16 * 512};
    b[i] = {8192 + (128 + i) * 65536, 16, 16 * 512};
  }
  std::vector<uint32_t> counts(256);
  const uint32_t* stored[1] = {counts.data()};
  uint32_t* flushed[1] = {counts.data()};
  std::vector<uint64_t> keys, want(556);
  for (uint64_t i = 0; i < 5000; ++i) {
    keys.push_back((i * 7919 % 138) << 14 | i % 15113 | i << 32);
    ++want[i * 7919 % 138];
  }
  engine->stream->Begin(files, 1, 8192 + 256 * 65536, {});
  engine->stream->Feed(files, 1, stored, 1, 0, 0, 8, a.data(), b.data(), 128);
  engine->stream->Append(3, keys.data(), keys.size());
  engine->stream->Flush(flushed, 1, {});
  engine->stream->Feed(files, 1, stored, 1, 1, 8, 0, a.data(), b.data(), 3);
  engine->streamReadSide = 0;
  engine->RunBucketPass8(3);
  EXPECT_EQ(engine->bucketCounts[0], 5000u);  // 138 groups all lie in the first 556
  engine->SortBucketGroups<8>(1, 0);
  EXPECT_EQ(std::vector<uint64_t>(engine->GroupLength(0), engine->GroupLength(0) + 556), want);
  std::atomic<bool> ended{false};
  engine->plotThread = std::thread([&ended] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ended = true;
  });
  DeletePlotEngine(engine);
  EXPECT_TRUE(ended);
  EXPECT_EQ(arena.outstanding, 0);
}

}  // namespace
