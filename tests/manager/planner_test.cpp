#include <gtest/gtest.h>

#include "manager/text_helpers.h"
#include "plotter/temp_file_header.h"
#include "runtime/direct_file.h"
#include "plotter/file_names.h"
#include "plotter/plot_size_tables.h"
#include "runtime/text_utils.h"
#include "tests/support/child_process.h"
#include "tests/manager/fake_plot_work.h"
#include "tests/manager/scan_test_support.h"
#include "tests/support/thrown_text.h"

namespace {

// Starts nothing: writes each call into the client's log, naming files by scan record.
struct RecordingStarter : PlotWorkStarter {
  RecordingStarter(Lines& lines, const std::vector<fs::path>& paths) : lines(lines), paths(paths) {}
  std::string Name(int64_t slot) const {
    if (slot < 0) return "new" + std::to_string(~slot);
    const fs::path& path = paths[slot];
    return path.filename() == TempFileName ? "tmp" : path.filename().string();
  }
  StartResult Record(std::string call, uint8_t resume, int64_t target, std::vector<int64_t> more) {
    call.append(resume ? " continue " : " new ").append(target < 0 ? "dir" : "");
    call += target < 0 ? Name(target).substr(3) : Name(target);
    for (int64_t slot : more) call.append(" ").append(Name(slot));
    lines.push_back("[" + call + "]");
    if (during) during();
    return result;
  }
  StartResult StartPlotting(const PlotTask& t) override {
    return Record("plot", t.resume, t.target, t.tempSlots);
  }
  StartResult StartFinalization(const FinalizeTask& t) override {
    return Record("finalize", t.resume, t.target, {static_cast<int64_t>(t.source)});
  }
  void ReleasePlotEngine() override { lines.push_back("[release engine]"); }
  void ReleaseFinalizeJob() override { lines.push_back("[release job]"); }
  void FreePlottingMemory() override { lines.push_back("[free memory]"); }
  Lines& lines;
  const std::vector<fs::path>& paths;
  StartResult result = StartResult::kStarted;
  std::function<void()> during;  // runs while the start is under way
};

// A factory that can plot and finalize; the recording starter stands in for what it makes.
std::unique_ptr<PlotWorkFactory> PlottingFactory() {
  static WorkScript unused;
  return std::make_unique<FakeWorkFactory>(unused, unused);
}

class PlannerClient : public ScanClient {
 public:
  PlannerClient(const std::vector<DirectorySpec>& dirs, const ClientConfig& config)
      : ScanClient(dirs, config, {nullptr, PlottingFactory(), false}) {
    for (size_t d = 0; d < dirs.size(); ++d) device[dirs[d].path] = d;
    workStarter_ = std::make_unique<RecordingStarter>(lines, scannedPaths_);
    Finished = 0;  // the planner decides when the run ends
  }
  RecordingStarter& Starter() { return static_cast<RecordingStarter&>(*workStarter_); }
  std::chrono::steady_clock::time_point Now() const override { return start + clock; }
  using Client::Dispatch, Client::JobMineable, Client::JobPlotPath, Client::KnownPlotPaths,
      Client::ManagerState, Client::pendingDeletes_, Client::PlannerIdle, Client::scannedFiles_;
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::seconds clock{0};
};

const uint64_t kP = SparsePlotSizeByLevel[0], kT1 = PlannedTempFileBytes(1, PlotScale::Production());
const uint64_t kN2 = FinalPlotSizeByLevel[2] + 151261184;

// Name "<code><seed>": S complete sparse, s unfinished sparse, F complete final, f unfinished
// final, u never closed, C complete but never closed; t a temp file of plot s<seed>, x a foreign
// file under the temp name. Size 0: plots claim kClaimed, temp files their full size.
struct FileSpec {
  int dir;
  char code;
  uint8_t seed;
  uint64_t size = 0;
};

void MakeFile(const fs::path& dir, const FileSpec& f, uint64_t tempDirs) {
  PlotHeader h = Plot(f.seed);
  h.sparse = f.code == 'S' || f.code == 's' || f.code == 'u' || f.code == 't';
  h.complete = f.code == 'S' || f.code == 'F' || f.code == 'C';
  h.closed = f.code != 'u' && f.code != 'C';
  const std::string name = f.code + std::to_string(f.seed);
  const uint64_t size = f.size ? f.size : kClaimed;
  h.start.markerOffset = size - 8;
  if (f.code == 'x') return WriteWholeFile(dir / TempFileName, Bytes("foreign", 7));
  if (f.code != 't') {
    const char* ext =
        h.sparse ? (h.complete ? ".spt" : ".spt_part") : (h.complete ? ".fpt" : ".fpt_part");
    return WriteFixture(dir / (name + ext), &h, sizeof(h), size);
  }
  TempFileHeader temp{};
  const uint64_t tempSize = f.size ? f.size : PlannedTempFileBytes(tempDirs, PlotScale::Production());
  temp.start = {kTempMagic, 1, {}, tempSize - 8, 0};
  std::tie(temp.link, temp.fileCount, temp.saved, temp.level) = std::tuple(h.link, 1, 1, h.level);
  std::memcpy(temp.plotId, h.plotId, 32);
  WriteFixture(dir / TempFileName, &temp, sizeof(temp), tempSize);
}

Lines Placed(Lines lines, const std::vector<std::unique_ptr<TestDirectory>>& dirs) {
  for (std::string& line : lines) {
    for (size_t at; (at = line.find('@')) != std::string::npos;) {
      line.replace(at, 2, dirs[line[at + 1] - '0']->Path().string());
    }
  }
  return lines;
}

}  // namespace

TEST(Planner, PassesOverFixtureDirectories) {
  const Lines done = {"No more plotting, finalization or testing required", "[release engine]",
                      "[release job]", "[free memory]"};
  const auto with = [](Lines a, const Lines& b) {
    return a.insert(a.end(), b.begin(), b.end()), a;
  };
  const ClientConfig plotOnly{.noFinalizing = 1}, finalizeOnly{.noPlotting = 1},
      deleteOnly{.noPlotting = 1, .noFinalizing = 1}, noMining{.miningOff = 1};
  struct Row {
    const char* name;
    // Per directory: "a" all kinds, "t" temp, "s" sparse, "f" final, "r" read-only, "m" all
    // kinds but missing.
    std::string types;
    std::vector<uint64_t> free, devices;  // no free figure: unknown; devices: own by default
    std::vector<FileSpec> files;
    ClientConfig config;
    int passes;
    int pause;  // seconds the clock moves before each later pass
    StartResult result;
    Lines expected;
    bool idle, finished = false;
  };
  // clang-format off
  const std::vector<Row> rows = {
      {"largest directory, first of equals", "tsss", {kT1, kP, kP + kGiB, kP + kGiB}, {}, {}, {}, 1, 0, StartResult::kStarted, {"[release job]", "[plot new dir2 new0]"}, false},
      {"temp and plot on one disk", "ts", {kT1 + kP - kGiB, kT1 + kP - kGiB}, {5, 5}, {}, {}, 1, 0, StartResult::kStarted, done, true},
      {"temp and plot on two disks", "ts", {kT1 + kP - kGiB, kT1 + kP - kGiB}, {5, 6}, {}, {}, 1, 0, StartResult::kStarted, {"[release job]", "[plot new dir1 new0]"}, false},
      {"continue before anything new", "a", {~0ull >> 2}, {}, {{0, 'S', 2}, {0, 's', 1}, {0, 't', 1}}, {}, 1, 0, StartResult::kStarted, {"[release job]", "[plot continue s1.spt_part tmp]"}, false},
      {"resumable temp files are not taken", "as", {kGiB, ~0ull >> 2}, {}, {{0, 's', 1, kGiB}, {0, 't', 1}}, plotOnly, 1, 0, StartResult::kStarted, done, true},
      {"unfinished final plot continues", "a", {kN2}, {}, {{0, 'S', 3}, {0, 'f', 3}}, finalizeOnly, 1, 0, StartResult::kStarted, {"[release engine]", "[finalize continue f3.fpt_part S3.spt]"}, false},
      {"foreign temp file refused, then a pause", "a", {~0ull >> 2}, {}, {{0, 'x', 1}}, plotOnly, 2, 0, StartResult::kStarted, {"ERROR: Failed to start plotting: temp file already exists: \"@0/VarnokChiaPool.tmp\""}, true},
      {"failed start skipped, memory released", "a", {kN2}, {}, {{0, 'S', 4}}, finalizeOnly, 2, 11, StartResult::kMemoryShortfall, with({"[release engine]", "[finalize new dir0 S4.spt]", "[release engine]", "[release job]", "[free memory]", "WARNING: \"@0/S4.spt\" failed to start and is skipped until restart"}, done), true},
      {"failed resume retried after a rest", "a", {~0ull >> 2}, {}, {{0, 's', 1}, {0, 't', 1}}, plotOnly, 3, 5, StartResult::kFailed, {"[release job]", "[plot continue s1.spt_part tmp]", "[release job]", "[plot continue s1.spt_part tmp]"}, true},
      {"failed final resume retried after a rest", "a", {kN2}, {}, {{0, 'S', 3}, {0, 'f', 3}}, finalizeOnly, 3, 5, StartResult::kFailed, {"[release engine]", "[finalize continue f3.fpt_part S3.spt]", "[release engine]", "[finalize continue f3.fpt_part S3.spt]"}, true},
      {"a finalized plot is not finalized again", "a", {kN2}, {}, {{0, 'S', 6}, {0, 'F', 6}}, finalizeOnly, 1, 0, StartResult::kStarted, done, true},
      {"finalized into a final-only directory", "aff", {0, 0, kN2}, {}, {{0, 'S', 5}}, finalizeOnly, 1, 0, StartResult::kStarted, {"[release engine]", "[finalize new dir2 S5.spt]"}, false},
      {"one deletion per pass, complete plots stay", "aa", {0, 0}, {}, {{0, 'u', 5}, {1, 'C', 7}, {1, 'F', 8}, {1, 't', 9}}, deleteOnly, 3, 0, StartResult::kStarted, with({"File deleted \"@0/u5.spt_part\"", "File deleted \"@1/Varn...Pool.tmp\""}, done), true},
      {"nothing deleted in a read-only directory", "r", {0}, {}, {{0, 'u', 5}}, deleteOnly, 1, 0, StartResult::kStarted, done, true},
      {"unknown free space", "a", {}, {}, {{0, 'u', 5}}, deleteOnly, 1, 0, StartResult::kStarted, {}, true},
      {"a missing directory may hold what others need", "am", {kN2}, {}, {{0, 'f', 3}}, {}, 1, 0, StartResult::kStarted, {}, true},
      {"missing temp space reported once", "ts", {kT1 - kGiB, kP}, {}, {}, plotOnly, 2, 0, StartResult::kStarted, {"WARNING: Following directories could contain more plots:", "\"@1\"", "But there is no enough free space for 1 temp file in temp directories:", "Additional 1.00GiB of free space required in \"@0\"", "If you want to use less temp files, mark some directories as \"notemp\""}, true},
      {"finalization space reported once", "a", {kGiB}, {}, {{0, 'S', 1}, {0, 'S', 2}}, finalizeOnly, 2, 0, StartResult::kStarted, {"WARNING: Following directories contain more than one sparse plots but not enough free space to finalize them:", "Additional " + FormatGiB(FinalPlotSizeByLevel[0] + 151261184 - kGiB) + "GiB of free space required in \"@0\""}, true},
      {"once nothing is left, passes only rescan", "", {}, {}, {}, {}, 2, 0, StartResult::kStarted, done, true},
      {"without mining the run ends", "", {}, {}, {}, noMining, 2, 0, StartResult::kStarted, with(done, {"[release engine]", "[release job]", "[free memory]"}), true, true},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::unique_ptr<TestDirectory>> dirs;
    std::vector<DirectorySpec> specs;
    for (char type : row.types) {
      dirs.push_back(std::make_unique<TestDirectory>());
      const bool all = type == 'a' || type == 'm';
      const fs::path path = type == 'm' ? *dirs.back() / "missing" : dirs.back()->Path();
      specs.push_back({path, -1, -1, all || type == 't', all || type == 'f',
                       all || type == 's', type == 'r'});
    }
    const uint64_t tempDirs =
        std::ranges::count_if(row.types, [](char t) { return t == 'a' || t == 't'; });
    for (const FileSpec& f : row.files) MakeFile(dirs[f.dir]->Path(), f, tempDirs);
    PlannerClient client(specs, row.config);
    for (size_t d = 0; d < specs.size(); ++d) {
      if (d < row.free.size())
        client.free[specs[d].path] = row.free[d];
      else
        client.free.erase(specs[d].path);
      if (d < row.devices.size()) client.device[specs[d].path] = row.devices[d];
    }
    client.Starter().result = row.result;
    client.Scan();
    client.lines.clear();
    for (int pass = 0; pass < row.passes; ++pass) {
      client.clock += std::chrono::seconds(pass ? row.pause : 0);
      client.PlanNextStep();
    }
    EXPECT_EQ(client.lines, Placed(row.expected, dirs));
    EXPECT_EQ(client.ManagerState, row.expected.empty() || row.idle ? 0u
                                   : row.expected.back()[1] == 'p'  ? 1u
                                                                    : 2u);
    EXPECT_EQ(client.PlannerIdle, row.idle);
    EXPECT_EQ(client.IsFinished(), row.finished);
    for (const FileSpec& f : row.files) {
      const std::string name = f.code + std::to_string(f.seed) + (f.code == 'S' ? ".spt" : ".fpt");
      if (f.code == 'C' || f.code == 'F' || f.code == 'S') {
        EXPECT_TRUE(fs::exists(dirs[f.dir]->Path() / name)) << name;
      }
    }
  }
}

TEST(Planner, DeleteTaskRecheckedBeforeDispatch) {
  TestDirectory dir;
  PlannerClient client({Dir(dir.Path())}, {});
  const ScannedFile plot{.Kind = kPlotFileKind, .HeaderValid = 1, .Version = 1};
  ScannedFile unrelated, unread = plot, newer = plot, complete = plot, unclosed = plot;
  std::tie(unread.HeaderValid, newer.Version, complete.Initialized) = std::tuple(0, 2, 1);
  complete.Complete = unclosed.Complete = 1;
  for (const auto& [file, code] : {std::pair(unrelated, "D99ACDB6"),
                                   {unread, "40A4697F"},
                                   {newer, "0B1C1771"},
                                   {complete, "F1E6B82A"},
                                   {unclosed, "F1E6B82A"}}) {
    client.scannedFiles_ = {file};
    client.scannedPaths_ = {dir / "a.fpt"};
    EXPECT_EQ(ThrownText([&] { client.Dispatch(std::make_unique<DeleteFileTask>(0)); }), code);
  }
  struct OddTask : ManagerTask {
    uint32_t Kind() const override { return 5; }
  };
  EXPECT_EQ(ThrownText([&] { client.Dispatch(std::make_unique<OddTask>()); }), "47504983");
}

TEST(Planner, FileLockedByAnotherProcessStays) {
  TestDirectory dir;
  MakeFile(dir.Path(), {0, 'u', 5}, 1);
  const fs::path temp = dir / "u5.spt_part";
  ChildProcess holder([&] {
    DirectFile file([](const std::string&) {});
    file.Open(temp, false);
    Say("locked");
    ::pause();
  });
  ASSERT_EQ(holder.ReadLine(), "locked");
  PlannerClient client({Dir(dir.Path())}, {.noPlotting = 1, .noFinalizing = 1});
  client.free[dir.Path()] = 0;
  client.Scan();
  client.lines.clear();
  client.PlanNextStep();
  ASSERT_EQ(client.lines.size(), 1u);
  EXPECT_EQ(client.lines[0].rfind("WARNING: Failed to delete file \"" + temp.string() + "\": ", 0),
            0u);
  EXPECT_TRUE(fs::exists(temp));
  EXPECT_EQ(client.UndeletablePaths, std::set<fs::path>{temp});
}

TEST(Planner, StopWaitsUntilReplacedPlotIsReleased) {
  TestDirectory dir;
  MakeFile(dir.Path(), {0, 'S', 1}, 1);
  PlannerClient client({Dir(dir.Path())}, {});
  client.Scan();
  ASSERT_EQ(client.MinedPlots.size(), 1u);
  client.pendingDeletes_.push_back({client.MinedPlots[0], dir / "S1.spt"});
  client.RequestStop();
  const Lines released = {"[release engine]", "[release job]", "[free memory]"};
  for (bool held : {true, false}) {
    if (!held) client.MinedPlots.clear();
    client.lines.clear();
    client.PlanNextStep();
    Lines expected = released;
    if (!held)
      expected.insert(expected.begin(), "File deleted \"" + (dir / "S1.spt").string() + "\"");
    EXPECT_EQ(client.lines, expected);
    EXPECT_EQ(fs::exists(dir / "S1.spt"), held);
    EXPECT_EQ(client.IsFinished(), !held);
  }
}

TEST(Planner, DeleteChecksFileAndAddToMiningRecordsPath) {
  TestDirectory dir;
  MakeFile(dir.Path(), {0, 'S', 1}, 1);
  PlannerClient client({Dir(dir.Path())}, {});
  const fs::path plot = dir / "S1.spt", gone = dir / "gone.spt";
  for (const auto& [path, sparse] : {std::pair(plot, false), {gone, true}}) {
    client.lines.clear();
    client.DeletePlotFile(path, sparse);
    EXPECT_EQ(client.lines, Lines{"WARNING: Failed to delete file \"" + path.string() +
                                  "\": Final check before delete failed"});
  }
  EXPECT_TRUE(fs::exists(plot));
  for (const uint8_t mineable : {0, 1}) {
    std::tie(client.JobPlotPath, client.JobMineable) = std::tuple(plot, mineable);
    client.AddPlotToMining(true);
    EXPECT_EQ(client.MinedPlots.size(), mineable);
    EXPECT_EQ(client.KnownPlotPaths, std::set<fs::path>{plot});
  }
}

TEST(Planner, PlannedSizesAreTheTablesAndShrinkWithThinnedPlots) {
  const PlotScale thin = PlotScale::WithShift(10);
  for (uint8_t level = 0; level < 5; ++level) {
    EXPECT_EQ(PlannedSparseBytes(level, {}), SparsePlotSizeByLevel[level]);
    EXPECT_EQ(PlannedFinalBytes(level, {}), FinalPlotSizeByLevel[level] + 151261184);
    EXPECT_LT(PlannedSparseBytes(level, thin), SparsePlotSizeByLevel[level] >> 9);
    EXPECT_LT(PlannedFinalBytes(level, thin), FinalPlotSizeByLevel[level] >> 9);
  }
}

// A save request that cuts a start short, as during the memory reservation, is no failed start.
TEST(Planner, SaveRequestDuringStartIsNoFailure) {
  TestDirectory dir;
  for (const FileSpec& f : {FileSpec{0, 's', 1}, FileSpec{0, 't', 1}}) MakeFile(dir.Path(), f, 1);
  PlannerClient client({Dir(dir.Path())}, {.noFinalizing = 1});
  client.free[dir.Path()] = ~0ull >> 2;
  client.Scan();
  client.lines.clear();
  client.Starter().result = StartResult::kFailed;
  client.Starter().during = [&client] { client.RequestShutdown(false); };
  client.PlanNextStep();
  EXPECT_EQ(client.lines, (Lines{"[release job]", "[plot continue s1.spt_part tmp]"}));
}
