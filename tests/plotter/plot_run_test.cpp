#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <thread>

#include "chia/blake3_hash.h"
#include "plotter/plot_engine.h"
#include "plotter/plot_file.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/hex.h"

namespace {

const uint8_t kPlotId[32] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9};

// A thinned engine with two temp files in `base`.
struct PlotRig {
  explicit PlotRig(const std::filesystem::path& base, uint8_t shift = 10, uint64_t threads = 2)
      : temps{base / "a.tmp", base / "b.tmp"}, plot(base / "p.spt_part") {
    PlotEngineSettings s{threads, 64 << 20, 2, PlotScale::WithShift(shift)};
    s.memoryBudget += RequiredJobMemory(s);
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

// {state, step, sub-step, bucket}: a stop while allocating or loading, or plotting at a position.
using Stop = std::array<int, 4>;
Stop Seen(uint32_t state, const TempFileHeader& h) {
  return state == kPlotPlotting ? Stop{3, h.step, h.subStep, h.bucket} : Stop{int(state), 0, 0, 0};
}

// Plots to the end, saving and resuming at each stop in turn; "" when every stop saved where
// asked and the plot completed.
std::string PlotThrough(PlotRig& rig, std::vector<Stop> stops) {
  const PlotEngine& e = *rig.engine;
  rig.engine->stopHook = [&stops](uint32_t state, const TempFileHeader& h) {
    return !stops.empty() && stops.front() == Seen(state, h);
  };
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
  for (;;) {
    if (const std::string failure = rig.Wait(); !failure.empty()) return failure;
    if (e.finished || stops.empty()) return e.finished && stops.empty() ? "" : "unmatched";
    stops.erase(stops.begin());
    rig.engine->StartPlotWithPaths(rig.temps, rig.plot);
  }
}

// From the table records to the end of the table data of a complete plot that opens for proof
// search: two runs of one plot differ only before this, in time, links and marker.
std::vector<uint8_t> TablesOf(const std::filesystem::path& path) {
  TestOwner owner;
  EXPECT_NE(OpenPlotFile(owner.owner, path, 0), nullptr);
  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  FileStartRecord start;
  std::memcpy(&start, bytes.data(), sizeof(start));
  return {bytes.begin() + offsetof(PlotHeader, tables), bytes.begin() + start.markerOffset};
}

// Every refusal of a resume, each on cleanly saved files with one field spoiled.
TEST(PlotStart, RefusesEachSpoiledHeaderAndLeavesTheEngineIdleWithItsFilesClosed) {
  TestDirectory dir;
  PlotRig rig(dir.Path());
  PlotEngine& e = *rig.engine;

  e.stopHook = [](uint32_t state, const TempFileHeader&) { return state == kPlotAllocating; };
  e.StartPlot(rig.temps, rig.plot, kPlotId, 1, nullptr);  // saved while allocating
  ASSERT_EQ(rig.Wait(), "");

  // {file, offset (-n: cut the file to n bytes), new byte (-1: all bits flipped), text}
  const std::string t = "invalid temp file: ", p = "invalid plot file: ";
  // clang-format off
  const std::tuple<int, int64_t, int, std::string> rows[] = {
      {0, -1143, 0, t + "44330887"}, {0, 0, 'X', t + "5EF8B4F8"}, {0, 8, 2, "unsupported temp file"},
      {0, 24, 1, t + "1E022F3F"}, {0, 43, 0, t + "78934383"}, {0, 42, 1, t + "E0BC3349"},
      {0, 47, 5, t + "8187E6FC"}, {0, 44, 8, t + "4D783010"}, {0, 46, 0x80, t + "9CB42810"},
      {0, 40, 3, t + "A8A6A948"}, {0, 41, 1, t + "AFFD5D60"}, {1, -1143, 0, t + "958BEAFA"},
      {1, 0, 'X', t + "AEE3D37F"}, {1, 8, 0, "unsupported temp file"}, {1, 24, 1, t + "754C258B)"},
      {1, 40, 1, t + "2BF1FB52"}, {1, 41, 0, t + "77A797C7)"}, {1, 32, -1, t + "8A046060"},
      {1, 43, 0, t + "AC813B25"}, {1, 42, 1, t + "013419AA"}, {2, -10055, 0, p + "A0961565"},
      {2, 0, 'X', p + "86C32406"}, {2, 8, 2, "unsupported plot file"}, {2, 24, 1, p + "E288AE21"},
      {2, 33, 1, p + "FD57D3E6"}, {2, 34, 0, p + "FD57D3E6"}, {2, 32, 0, p + "FD57D3E6"},
      {2, 56, 0, p + "99163D28"}, {2, 40, -1, p + "9DB2F630"}, {2, 35, 4, p + "DD6A62EB"}};
  // clang-format on
  const std::filesystem::path files[] = {rig.temps[0], rig.temps[1], rig.plot};
  for (const auto& [file, offset, value, text] : rows) {
    const std::vector<uint8_t> original = ReadWholeFile(files[file]);
    std::vector<uint8_t> spoiled = original;
    if (offset < 0) spoiled.resize(-offset);
    if (offset >= 0) spoiled[offset] = static_cast<uint8_t>(value < 0 ? ~original[offset] : value);
    WriteWholeFile(files[file], spoiled);
    EXPECT_EQ(ThrownText([&] { e.StartPlotWithPaths(rig.temps, rig.plot); }), text);
    for (const auto& f : files) {  // closed: a new descriptor takes the lock
      DirectFile probe([](const std::string&) {});
      EXPECT_EQ(ThrownText([&] { probe.Open(f, false); }), "no exception") << text;
    }
    WriteWholeFile(files[file], original);
  }
  e.StartPlotWithPaths(rig.temps, rig.plot);  // the untouched files resume
  EXPECT_EQ(rig.Wait(), "");
}

// An uninterrupted plot; the same plot stopped and resumed at every kind of position; and one
// killed at a random moment, which must resume to the same plot or be refused.
TEST(PlotRun, StoppedResumedAndKilledPlotsEqualAnUninterruptedOne) {
  TestDirectory dir;
  PlotRig rig(dir.Path());
  std::string seen;  // the states the plot thread passes, and "!" where its progress falls
  double last = 0;
  rig.engine->stopHook = [&](uint32_t state, const TempFileHeader&) {
    if (seen.empty() || seen.back() != char('0' + state)) seen += char('0' + state);
    if (state == kPlotPlotting)
      seen += rig.engine->progress < std::exchange(last, rig.engine->progress) ? "!" : "";
    return false;
  };
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
  ASSERT_EQ(rig.Wait(), "");
  EXPECT_EQ(seen, "13");
  EXPECT_GT(last, 0.99);
  EXPECT_EQ(rig.engine->finished + rig.engine->progress, 1);
  const std::vector<uint8_t> reference = TablesOf(rig.plot);

  // clang-format off
  EXPECT_EQ(PlotThrough(rig, {{1, 0, 0, 0}, {3, 0, 0, 0}, {2, 0, 0, 0}, {3, 0, 0, 77}, {3, 1, 0, 127},
                              {3, 2, 0, 0}, {3, 2, 1, 45}, {3, 3, 1, 127}, {3, 4, 1, 1}, {3, 5, 0, 90},
                              {3, 6, 0, 3}, {3, 6, 1, 64}, {3, 7, 0, 0}, {3, 7, 0, 100}}), "");
  // clang-format on
  EXPECT_TRUE(TablesOf(rig.plot) == reference);

  const auto delay = std::chrono::milliseconds(std::random_device()() % 20000);
  {
    ChildProcess child([&] {
      PlotRig inChild(dir.Path());
      PlotThrough(inChild, {{3, 0, 0, 60}, {3, 1, 0, 60}, {3, 2, 1, 60}, {3, 5, 0, 60}});
    });
    std::this_thread::sleep_for(delay);
  }
  const std::string r = ThrownText([&] { rig.engine->StartPlotWithPaths(rig.temps, rig.plot); });
  EXPECT_TRUE(r == "no exception" ? rig.Wait() == "" && TablesOf(rig.plot) == reference
                                  : r.find("file: ") != std::string::npos)
      << delay.count() << " ms: " << r;
}

// The tables of one fixed plot, whatever the thread count: a faster kernel or a reordered pass
// that changed a single byte of a plot would change this digest, which an earlier build made.
TEST(PlotRun, FixedPlotHasItsPinnedTableDigestAtEveryThreadCount) {
  for (const uint64_t threads : {1, 2, 5}) {
    TestDirectory dir;
    PlotRig rig(dir.Path(), 10, threads);
    rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
    ASSERT_EQ(rig.Wait(), "") << threads;
    const std::vector<uint8_t> tables = TablesOf(rig.plot);
    uint8_t digest[32];
    Blake3Hash(tables.data(), tables.size(), digest);
    EXPECT_EQ(ToHex(digest, 32), "88b98ca783626d47dffaea477afabf6b7190c71911e6af140e287f7c225ba4ee")
        << threads << " threads";
  }
}

// At d = 7 thinning has flattened table 3's buckets, so the ones the production shape expects
// below the mean get as many entries as the rest: step 2 sub-step 0 must keep every one of them.
TEST(PlotRun, ThinnedTableThreeFitsItsBucketsAtScaleSeven) {
  TestDirectory dir;
  PlotRig rig(dir.Path(), 7);
  TempFileHeader saved{};
  rig.engine->stopHook = [&](uint32_t state, const TempFileHeader& h) {
    saved = h;
    return Seen(state, h) == Stop{3, 2, 1, 0};
  };
  rig.engine->StartPlot(rig.temps, rig.plot, kPlotId, 0, nullptr);
  EXPECT_EQ(rig.Wait(), "");
  EXPECT_EQ(Seen(kPlotPlotting, saved), (Stop{3, 2, 1, 0}));
  EXPECT_FALSE(rig.engine->finished);
}

}  // namespace
