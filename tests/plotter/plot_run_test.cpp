#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "plotter/plot_engine.h"
#include "plotter/plot_file.h"
#include "tests/plotter/plot_test_support.h"

namespace {

const uint8_t kPlotId[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                             16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// A thinned engine with two temp files; the hook stops the plot where a test wants it.
struct PlotRig {
  TestDirectory dir;
  std::vector<std::filesystem::path> temps{dir / "a.tmp", dir / "b.tmp"};
  std::filesystem::path plot = dir / "p.spt_part";
  PlotEngineHandle engine;

  PlotRig() {
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
  std::vector<std::filesystem::path> Files() const { return {temps[0], temps[1], plot}; }
};

// Where a test stops a plot: in a state (allocating, loading) or, plotting, at a position.
struct Stop {
  uint32_t state;
  uint8_t step = 0, subStep = 0;
  int8_t bucket = 0;
};

// Plots to the end, saving and resuming at each stop in turn; returns the stored failures.
std::string PlotThrough(PlotRig& rig, std::vector<Stop> stops, uint8_t level = 0) {
  rig.engine->stopHook = [&stops](uint32_t state, const TempFileHeader& h) {
    if (stops.empty()) return false;
    const Stop& s = stops.front();
    return s.state == state &&
           (state != kPlotPlotting ||
            (s.step == h.step && s.subStep == h.subStep && s.bucket == h.bucket));
  };
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, level, nullptr);
  for (;;) {
    const std::string failure = rig.Wait();
    if (!failure.empty()) return failure;
    if (rig.engine->finished) return stops.empty() ? "" : "a stop was never reached";
    if (stops.empty()) return "stopped unasked";
    const TempFileHeader& h = rig.engine->tempHeaders[0];
    const Stop s = stops.front();
    if (s.state == kPlotPlotting &&
        (h.step != s.step || h.subStep != s.subStep || h.bucket != s.bucket)) {
      return "saved elsewhere";
    }
    stops.erase(stops.begin());
    rig.engine->StartPlotWithPaths(rig.temps, rig.plot);
  }
}

// The table records and the table data of a complete plot that opens for proof search.
std::vector<uint8_t> TablesOf(const std::filesystem::path& path) {
  TestOwner owner;
  EXPECT_NE(OpenPlotFile(owner.owner, path, 0), nullptr);
  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  PlotHeader h;
  std::memcpy(&h, bytes.data(), sizeof(h));
  EXPECT_EQ(h.sparse + h.complete + h.closed, 3);
  // The records, then the data: the plots differ only in creation time, links and markers.
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

// Every refusal of a resume, each on a copy of cleanly saved files with one field spoiled.
TEST(PlotStart, RefusesEachSpoiledHeaderAndLeavesTheEngineIdleWithItsFilesClosed) {
  PlotRig rig;
  PlotEngine& e = *rig.engine;
  EXPECT_EQ(ThrownText([&] { e.StartPlot({}, rig.plot, kPlotId, 0, nullptr); }), "10497308");
  EXPECT_EQ(ThrownText([&] {
              e.StartPlot({rig.plot, rig.plot, rig.plot}, rig.plot, kPlotId, 0, nullptr);
            }),
            "10497308");
  EXPECT_EQ(ThrownText([&] { e.StartPlot(rig.temps, rig.plot, kPlotId, 5, nullptr); }), "A4D85629");
  e.stopHook = [](uint32_t state, const TempFileHeader&) { return state == kPlotAllocating; };
  e.StartPlot(rig.temps, rig.plot, kPlotId, 1, nullptr);
  ASSERT_EQ(rig.Wait(), "");

  // {file (temp 0, temp 1, plot), offset, new byte (-1: cut the file there), text}
  constexpr int kFlip = 0x100;
  const std::string t = "invalid temp file: ", p = "invalid plot file: ";
  const std::tuple<int, uint64_t, int, std::string> rows[] = {
      {0, 1143, -1, t + "44330887"},      {0, 0, 'X', t + "5EF8B4F8"},
      {0, 8, 2, "unsupported temp file"}, {0, 24, 1, t + "1E022F3F"},
      {0, 43, 0, t + "78934383"},         {0, 42, 1, t + "E0BC3349"},
      {0, 47, 5, t + "8187E6FC"},         {0, 44, 8, t + "4D783010"},
      {0, 46, 0x80, t + "9CB42810"},      {0, 40, 3, t + "A8A6A948"},
      {0, 41, 1, t + "AFFD5D60"},         {1, 1143, -1, t + "958BEAFA"},
      {1, 0, 'X', t + "AEE3D37F"},        {1, 8, 0, "unsupported temp file"},
      {1, 24, 1, t + "754C258B)"},        {1, 40, 1, t + "2BF1FB52"},
      {1, 41, 0, t + "77A797C7)"},        {1, 32, kFlip, t + "8A046060"},
      {1, 43, 0, t + "AC813B25"},         {1, 42, 1, t + "013419AA"},
      {2, 10055, -1, p + "A0961565"},     {2, 0, 'X', p + "86C32406"},
      {2, 8, 2, "unsupported plot file"}, {2, 24, 1, p + "E288AE21"},
      {2, 33, 1, p + "FD57D3E6"},         {2, 34, 0, p + "FD57D3E6"},
      {2, 32, 0, p + "FD57D3E6"},         {2, 56, 0, p + "99163D28"},
      {2, 40, kFlip, p + "9DB2F630"},     {2, 35, 4, p + "DD6A62EB"},
  };
  for (const auto& [file, offset, value, text] : rows) {
    const std::filesystem::path path = rig.Files()[file];
    const std::vector<uint8_t> original = ReadWholeFile(path);
    std::vector<uint8_t> spoiled = original;
    if (value < 0) {
      spoiled.resize(offset);
    } else if (value == kFlip) {
      spoiled[offset] ^= 0xFF;
    } else {
      spoiled[offset] = static_cast<uint8_t>(value);
    }
    WriteWholeFile(path, spoiled);
    EXPECT_EQ(ThrownText([&] { e.StartPlotWithPaths(rig.temps, rig.plot); }), text);
    EXPECT_EQ(e.state, kPlotIdle);
    for (const auto& f : rig.Files()) EXPECT_TRUE(Unlocked(f)) << text;
    WriteWholeFile(path, original);
  }
  // The untouched files resume; swapped they do not.
  EXPECT_EQ(ThrownText([&] {
              e.StartPlotWithPaths({rig.temps[1], rig.temps[0]}, rig.plot);
            }),
            t + "AFFD5D60");
  e.StartPlotWithPaths(rig.temps, rig.plot);
  EXPECT_EQ(rig.Wait(), "");
}

// One uninterrupted plot, then one stopped and resumed at every kind of position.
TEST(PlotRun, StoppedAndResumedPlotsEqualAnUninterruptedOne) {
  PlotRig rig;
  std::vector<std::pair<uint32_t, double>> seen;
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
  ASSERT_EQ(rig.Wait(), "");
  const std::vector<uint8_t> reference = TablesOf(rig.plot);
  ASSERT_EQ(PlotThrough(rig, {{kPlotAllocating},
                              {kPlotPlotting, 0, 0, 0},
                              {kPlotLoading},
                              {kPlotPlotting, 0, 0, 77},
                              {kPlotPlotting, 1, 0, 127},
                              {kPlotPlotting, 2, 0, 0},
                              {kPlotPlotting, 2, 1, 45},
                              {kPlotPlotting, 3, 1, 127},
                              {kPlotPlotting, 4, 1, 1},
                              {kPlotPlotting, 5, 0, 90},
                              {kPlotPlotting, 6, 0, 3},
                              {kPlotPlotting, 6, 1, 64},
                              {kPlotPlotting, 7, 0, 0},
                              {kPlotPlotting, 7, 0, 100}}),
            "");
  EXPECT_TRUE(TablesOf(rig.plot) == reference);
}

}  // namespace
