// Whole-program runs of the test build: scale, start and stop, resuming after kills and
// interrupts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "plotter/engine_memory.h"
#include "plotter/finalize_job.h"
#include "plotter/plot_engine.h"
#include "runtime/text_utils.h"
#include "tests/app/whole_program_support.h"
#include "tests/plotter/plot_test_support.h"

using namespace whole_program;

// The release build plans with full-size plots and the test build with thinned ones: the memory
// a plot needs shows which scale each was built with.
TEST(WholeProgram, OnlyTheTestBuildThinsItsPlots) {
  EnterPrivateNetwork();
  Farm farm;
  for (const auto& [program, scale] : {std::pair{kRelease, PlotScale::Production()},
                                       std::pair{kTestBuild, PlotScale::WithShift(10)}}) {
    ProgramRun run(program, {"-s", farm.settings, "-d", farm.plots, "--no-finalizing", "--no-benchmark",
                      "--p-threads", "2", "-m", "100MB"});
    EXPECT_EQ(run.End(), 1) << program;
    PlotEngineSettings settings{2, 0, 1, scale};
    // The stream's smallest size comes on top: 1,024 blocks with their bookkeeping.
    const uint64_t need = (uint64_t{64} << 20) + EstimateJobMemory(settings) +
                          1024 * (scale.StreamBlockBytes() + 128);
    EXPECT_EQ(run.Lines(),
              (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                        "<time> ERROR: Too few memory specified, at least " +
                                            FormatGiB(need) + "GiB needed"}))
        << program;
  }
}

// A fresh start names its address and worker, keeps its settings, and stops cleanly: Ctrl+C
// once, then twice.
TEST(WholeProgram, FreshStartMinesUntilInterrupted) {
  EnterPrivateNetwork();
  Farm farm;
  FakePool pool;
  for (int interrupts : {1, 2}) {
    ProgramRun run(farm.Program(), farm.Mining({"--no-plotting", "--no-finalizing"}));
    ASSERT_TRUE(run.WaitFor("Worker: ")) << run.Console();
    for (int i = 0; i < interrupts; ++i) run.Signal(SIGINT);
    EXPECT_EQ(run.End(), 0) << run.Console();
    ASSERT_GE(run.Lines().size(), 3u);
    EXPECT_EQ(run.Lines()[0], "VarnokChiaPool version 1.3");
    EXPECT_EQ(run.Lines()[1], "Mining on address: " + kAddress);
  }
  EXPECT_EQ(ReadTextFile(farm.settings / "workerid").size(), 16u);
  // Without a plot there is nothing to prove to the pool, so it is not contacted.
  EXPECT_EQ(pool.Hellos(), 0);
}

namespace {

// The processor time `pid` has used, in all its threads, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text{std::istreambuf_iterator<char>(stat), {}};
  // Fields after the command's closing parenthesis start at the third, the state; user and system
  // time are the 14th and 15th, in clock ticks.
  std::istringstream fields(text.substr(text.rfind(')') + 1));
  std::string field;
  uint64_t ticks = 0;
  for (int n = 3; n <= 15 && fields >> field; ++n) {
    if (n >= 14) ticks += std::stoull(field);
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A plot file without what differs between two makings of one plot: the random marker value
// and the creation time.
std::vector<uint8_t> Normalized(const fs::path& plot) {
  std::vector<uint8_t> bytes = ReadWholeFile(plot);
  std::memset(bytes.data() + 24, 0, 8);
  std::memset(bytes.data() + offsetof(PlotHeader, creationTime), 0, 8);
  std::memset(bytes.data() + HeaderOf(plot).start.markerOffset, 0, 8);
  return bytes;
}

// The plot `made` names (id, level and keys), made and finalized in this process without a
// stop, at the test build's scale; the path of its final plot.
fs::path MakeUninterrupted(const PlotHeader& made, const fs::path& dir) {
  PlotEngineSettings settings{2, 0, 1, PlotScale::WithShift(10)};
  settings.memoryBudget = RequiredJobMemory(settings) + (64 << 20);
  const auto quiet = [](const std::string&) {};
  {
    PlotEngineHandle engine =
        CreatePlotEngine(HeapArena(), settings, HeapArena(), quiet, nullptr, nullptr);
    engine->StartPlot({dir / "0.tmp"}, dir / "made.spt", made.plotId, made.level,
                      made.keyBlockFlag ? made.keyBlock : nullptr);
    std::unique_lock<std::mutex> lock(engine->mutex);
    engine->done.wait(lock, [&] { return engine->state == kPlotIdle; });
    EXPECT_EQ(engine->finished, 1);
  }
  FinalizeJobHandle job = NewFinalizeJob({FinalizeJob::RequiredMemory(2, settings.scale), 2, settings.scale},
                                         HeapArena(), quiet, nullptr, nullptr);
  job->Start(dir / "made.spt", dir / "made.fpt", 0);
  job->WaitForRun();
  EXPECT_EQ(job->ReadStatus().finished, 1);
  return dir / "made.fpt";
}

}  // namespace

// Killed while plotting and while finalizing, then started again with the same command line:
// the work goes on to the final plot that one uninterrupted run of the same plot makes.
TEST(WholeProgram, KilledRunsResumeTheSamePlot) {
  EnterPrivateNetwork();
  Farm farm;
  const std::vector<std::string> args{"-s", farm.settings, "-d,1N", farm.plots, "-c", "1",
                                      "--no-benchmark"};
  // The last progress figure a run printed.
  const auto percent = [](const ProgramRun& run) {
    for (auto line = run.Lines().rbegin(); line != run.Lines().rend(); ++line) {
      const size_t at = line->find("Plotting, ");
      if (at != std::string::npos) return std::stoi(line->substr(at + 10));
    }
    return -1;
  };
  std::string console;
  // A plot killed before its first save cannot be trusted and is made anew; one killed once it
  // is saved goes on from there, and a finalization from its complete sparse plot.
  std::vector<std::string> stems;
  int savedAt = -1;
  for (int killed = 0; killed < 3; ++killed) {
    ProgramRun run(kTestBuild, args);
    if (killed == 2) {
      EXPECT_TRUE(run.WaitFor("Continue plotting")) << run.Console();
      // What is left after the save can end before the first progress line.
      ASSERT_TRUE(run.WaitForAny({"Plotting, ", "Plot done"})) << run.Console();
      if (percent(run) >= 0) {
        EXPECT_GE(percent(run), savedAt) << run.Console();
      }
    }
    ASSERT_TRUE(run.WaitFor(killed == 2 ? "Start finalization" : "Plotting, ")) << run.Console();
    if (killed == 1) {
      // Saved some way into the plot, well before its end: once the plotting has had a second
      // of processor time, however busy the machine (the limit only bounds a hang).
      const double plotting = CpuSeconds(run.Pid());
      for (int i = 0; i < 12000 && CpuSeconds(run.Pid()) < plotting + 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      run.Signal(SIGINT);
      ASSERT_TRUE(run.WaitFor("Stop requested")) << run.Console();
      run.Signal(SIGINT);
      ASSERT_TRUE(run.WaitFor("Saved")) << run.Console();
      savedAt = percent(run);
      EXPECT_GT(savedAt, 0) << run.Console();
    }
    run.Signal(SIGKILL);
    run.End();
    console += run.Console();
    const std::vector<fs::path> part = farm.Files(killed < 2 ? ".spt_part" : ".fpt_part");
    ASSERT_EQ(part.size(), 1u) << run.Console();
    stems.push_back(part[0].stem());
  }
  ProgramRun run(kTestBuild, args);
  for (int i = 0; i < 1200 && (farm.Files(".fpt").empty() || !farm.Files(".spt").empty()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  run.Signal(SIGINT);
  EXPECT_EQ(run.End(), 0) << run.Console();
  console += run.Console();
  // Only the complete sparse plot ever counted as a plot.
  std::vector<std::string> plotsFound;
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Total plots: ")) plotsFound.push_back(line.substr(13));
  }
  EXPECT_EQ(plotsFound, (std::vector<std::string>{"0", "0", "0", "1"})) << console;
  ASSERT_EQ(farm.Files(".fpt").size(), 1u) << run.Console();
  const fs::path final = farm.Files(".fpt")[0];
  EXPECT_NE(stems[0], stems[1]);
  EXPECT_EQ(final.stem(), stems[1]);
  EXPECT_EQ(final.stem(), stems[2]);
  EXPECT_TRUE(farm.Files(".spt").empty() && farm.Files(".spt_part").empty() &&
              farm.Files(".fpt_part").empty());
  EXPECT_EQ(console.find("corrupt"), std::string::npos) << console;
  EXPECT_EQ(console.find("damaged"), std::string::npos) << console;

  const PlotHeader header = HeaderOf(final);
  EXPECT_EQ(header.level, 0);  // level 1
  TestDirectory dir;
  EXPECT_TRUE(Normalized(final) == Normalized(MakeUninterrupted(header, dir.Path())));
}

// Ctrl+C once finishes the plot in progress and starts no other; twice (save now) is part of the
// kill runs above.
TEST(WholeProgram, CtrlCOnceFinishesThePlotInProgress) {
  EnterPrivateNetwork();
  Farm farm;
  ProgramRun run(kTestBuild, {"-s", farm.settings, "-d", farm.plots, "--no-benchmark",
                              "--no-finalizing"});
  ASSERT_TRUE(run.WaitFor("Plotting, ")) << run.Console();
  run.Signal(SIGINT);
  EXPECT_TRUE(run.WaitFor("Plot done")) << run.Console();
  EXPECT_EQ(run.End(), 0) << run.Console();
  EXPECT_EQ(farm.Files(".spt").size(), 1u) << run.Console();
  EXPECT_TRUE(farm.Files(".spt_part").empty()) << run.Console();
}
