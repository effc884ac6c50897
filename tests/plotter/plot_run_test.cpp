#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "plotter/plot_engine.h"
#include "plotter/plot_file.h"
#include "tests/child_process.h"
#include "tests/plotter/plot_test_support.h"

namespace {

const uint8_t kPlotId[32] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// A thinned engine with two temp files in `base`.
struct PlotRig {
  explicit PlotRig(const std::filesystem::path& base)
      : temps{base / "a.tmp", base / "b.tmp"}, plot(base / "p.spt_part") {
    PlotEngineSettings s{2, 0, 2, PlotScale::WithShift(10)};
    s.memoryBudget = RequiredJobMemory(s) + (uint64_t{64} << 20);
    engine = CreatePlotEngine(
        HeapArena(), s, HeapArena(), [](const std::string&) {}, nullptr, nullptr);
  }
  // The failure the run stored, "" for none.
  std::string Wait() {
    std::unique_lock<std::mutex> lock(engine->mutex);
    engine->done.wait(lock, [&] { return engine->state == kPlotIdle; });
    return engine->failure ? ThrownText([&] { std::rethrow_exception(engine->failure); }) : "";
  }
  std::vector<std::filesystem::path> temps;
  std::filesystem::path plot;
  PlotEngineHandle engine;
};

// Where a plot is stopped: while allocating or loading, or plotting at a position.
struct Stop {
  uint32_t state;
  uint8_t step = 0, subStep = 0;
  int8_t bucket = 0;
  bool At(uint32_t s, const TempFileHeader& h) const {
    return s == state &&
           (s != kPlotPlotting || (step == h.step && subStep == h.subStep && bucket == h.bucket));
  }
};

// Plots to the end, saving and resuming at each stop in turn; "" when every stop saved where
// asked and the plot completed.
std::string PlotThrough(PlotRig& rig, std::vector<Stop> stops) {
  rig.engine->stopHook = [&stops](uint32_t state, const TempFileHeader& h) {
    return !stops.empty() && stops.front().At(state, h);
  };
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
  for (;;) {
    const std::string failure = rig.Wait();
    if (!failure.empty()) return failure;
    if (rig.engine->finished) return stops.empty() ? "" : "unreached";
    const TempFileHeader& h = rig.engine->tempHeaders[0];
    if (stops.empty() ||
        (stops.front().state == kPlotPlotting && !stops.front().At(kPlotPlotting, h))) {
      return "saved elsewhere";
    }
    stops.erase(stops.begin());
    rig.engine->StartPlotWithPaths(rig.temps, rig.plot);
  }
}

// The table records and data of a complete plot that opens for proof search.
std::vector<uint8_t> TablesOf(const std::filesystem::path& path) {
  TestOwner owner;
  EXPECT_NE(OpenPlotFile(owner.owner, path, 0), nullptr);
  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  PlotHeader h;
  std::memcpy(&h, bytes.data(), sizeof(h));
  EXPECT_EQ(h.sparse + h.complete + h.closed, 3);
  std::vector<uint8_t> tables(bytes.begin() + kFinalPlotDataOffset,
                              bytes.begin() + h.start.markerOffset);
  const auto* records = reinterpret_cast<const uint8_t*>(h.tables);
  tables.insert(tables.begin(), records, records + sizeof(h.tables));
  return tables;
}

bool Unlocked(const std::filesystem::path& path) {
  DirectFile probe([](const std::string&) {});
  return ThrownText([&] { probe.Open(path, false); }) == "no exception";
}

// Every refusal of a resume, each on cleanly saved files with one field spoiled.
TEST(PlotStart, RefusesEachSpoiledHeaderAndLeavesTheEngineIdleWithItsFilesClosed) {
  TestDirectory dir;
  PlotRig rig(dir.Path());
  PlotEngine& e = *rig.engine;
  const auto start = [&](std::vector<std::filesystem::path> temps, const uint8_t* id, int level) {
    return ThrownText([&] { e.StartPlot(temps, rig.plot, id, level, nullptr); });
  };
  EXPECT_EQ(start({}, kPlotId, 0) + start({rig.plot, rig.plot, rig.plot}, kPlotId, 0) +
                start(rig.temps, kPlotId, 5),
            "1049730810497308A4D85629");
  e.stopHook = [](uint32_t state, const TempFileHeader&) { return state == kPlotAllocating; };
  ASSERT_EQ(start(rig.temps, kPlotId, 1), "no exception");  // saved while allocating
  ASSERT_EQ(rig.Wait(), "");

  constexpr int kFlip = 0x100, kCut = -1;  // {file, offset, new byte or kFlip or kCut, text}
  const std::string t = "invalid temp file: ", p = "invalid plot file: ";
  // clang-format off
  const std::tuple<int, uint64_t, int, std::string> rows[] = {
      {0, 1143, kCut, t + "44330887"}, {0, 0, 'X', t + "5EF8B4F8"}, {0, 8, 2, "unsupported temp file"},
      {0, 24, 1, t + "1E022F3F"}, {0, 43, 0, t + "78934383"}, {0, 42, 1, t + "E0BC3349"},
      {0, 47, 5, t + "8187E6FC"}, {0, 44, 8, t + "4D783010"}, {0, 46, 0x80, t + "9CB42810"},
      {0, 40, 3, t + "A8A6A948"}, {0, 41, 1, t + "AFFD5D60"}, {1, 1143, kCut, t + "958BEAFA"},
      {1, 0, 'X', t + "AEE3D37F"}, {1, 8, 0, "unsupported temp file"}, {1, 24, 1, t + "754C258B)"},
      {1, 40, 1, t + "2BF1FB52"}, {1, 41, 0, t + "77A797C7)"}, {1, 32, kFlip, t + "8A046060"},
      {1, 43, 0, t + "AC813B25"}, {1, 42, 1, t + "013419AA"}, {2, 10055, kCut, p + "A0961565"},
      {2, 0, 'X', p + "86C32406"}, {2, 8, 2, "unsupported plot file"}, {2, 24, 1, p + "E288AE21"},
      {2, 33, 1, p + "FD57D3E6"}, {2, 34, 0, p + "FD57D3E6"}, {2, 32, 0, p + "FD57D3E6"},
      {2, 56, 0, p + "99163D28"}, {2, 40, kFlip, p + "9DB2F630"}, {2, 35, 4, p + "DD6A62EB"}};
  // clang-format on
  const std::filesystem::path files[] = {rig.temps[0], rig.temps[1], rig.plot};
  for (const auto& [file, offset, value, text] : rows) {
    const std::vector<uint8_t> original = ReadWholeFile(files[file]);
    std::vector<uint8_t> spoiled = original;
    if (value == kCut) spoiled.resize(offset);
    if (value != kCut)
      spoiled[offset] = static_cast<uint8_t>(value == kFlip ? ~spoiled[offset] : value);
    WriteWholeFile(files[file], spoiled);
    EXPECT_EQ(ThrownText([&] { e.StartPlotWithPaths(rig.temps, rig.plot); }), text);
    EXPECT_EQ(e.state, kPlotIdle);
    for (const auto& f : files) EXPECT_TRUE(Unlocked(f)) << text;
    WriteWholeFile(files[file], original);
  }
  EXPECT_EQ(start({rig.temps[1], rig.temps[0]}, nullptr, 0), t + "AFFD5D60");
  EXPECT_EQ(start(rig.temps, nullptr, 0), "no exception");  // the untouched files resume
  EXPECT_EQ(rig.Wait(), "");
}

// An uninterrupted plot; the same plot stopped and resumed at every kind of position; and one
// killed at a random moment, which must resume to the same plot or be refused.
TEST(PlotRun, StoppedResumedAndKilledPlotsEqualAnUninterruptedOne) {
  TestDirectory dir;
  PlotRig rig(dir.Path());
  std::string states;
  double last = 0;
  bool rising = true;
  rig.engine->stopHook = [&](uint32_t state, const TempFileHeader&) {
    const char c = static_cast<char>('0' + state);
    if (states.empty() || states.back() != c) states += c;
    if (state == kPlotPlotting) rising = rising && rig.engine->progress >= last;
    last = state == kPlotPlotting ? rig.engine->progress : last;
    return false;
  };
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
  ASSERT_EQ(rig.Wait(), "");
  EXPECT_EQ(states, "13");
  EXPECT_TRUE(rising);
  EXPECT_GT(last, 0.99);
  EXPECT_EQ(rig.engine->finished + rig.engine->progress, 1);
  const std::vector<uint8_t> reference = TablesOf(rig.plot);

  // clang-format off
  EXPECT_EQ(PlotThrough(rig, {{kPlotAllocating}, {kPlotPlotting, 0, 0, 0}, {kPlotLoading},
      {kPlotPlotting, 0, 0, 77}, {kPlotPlotting, 1, 0, 127}, {kPlotPlotting, 2, 0, 0},
      {kPlotPlotting, 2, 1, 45}, {kPlotPlotting, 3, 1, 127}, {kPlotPlotting, 4, 1, 1},
      {kPlotPlotting, 5, 0, 90}, {kPlotPlotting, 6, 0, 3}, {kPlotPlotting, 6, 1, 64},
      {kPlotPlotting, 7, 0, 0}, {kPlotPlotting, 7, 0, 100}}), "");
  // clang-format on
  EXPECT_TRUE(TablesOf(rig.plot) == reference);

  const auto delay = std::chrono::milliseconds(std::random_device()() % 20000);
  {
    ChildProcess child([&] {
      PlotRig inChild(dir.Path());
      std::vector<Stop> stops;
      for (uint8_t s = 0; s < 8; ++s) stops.push_back({kPlotPlotting, s, 0, 60});
      PlotThrough(inChild, stops);
    });
    std::this_thread::sleep_for(delay);
  }
  const std::string refusal =
      ThrownText([&] { rig.engine->StartPlotWithPaths(rig.temps, rig.plot); });
  SCOPED_TRACE(std::to_string(delay.count()) + " ms: " + refusal);
  if (refusal == "no exception") {
    EXPECT_EQ(rig.Wait(), "");
    EXPECT_TRUE(TablesOf(rig.plot) == reference);
  } else {
    EXPECT_NE(refusal.find("file: "), std::string::npos);
  }
}

}  // namespace
