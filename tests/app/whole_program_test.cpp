// Whole-program runs of the test build: scale, start and stop, resuming after kills and
// interrupts.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "chia/plot_keys.h"
#include "plotter/engine_memory.h"
#include "runtime/text_utils.h"
#include "tests/app/whole_program_support.h"
#include "tests/plotter/sparse_plot_support.h"

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
    const uint64_t need = (uint64_t{64} << 20) + EstimateJobMemory(settings) + (uint64_t{1} << 30);
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

// A sparse plot found in the plot directory is finalized and then deleted; a run killed while
// finalizing is started again with the same command line and ends in the same final plot.
TEST(WholeProgram, FinalizesFoundSparsePlotsAlsoAfterAKill) {
  EnterPrivateNetwork();
  SparseCase sparse = MakeSparseCase(29, 16);
  // Only plots with this deployment's keys are finalized.
  uint32_t code = 0;
  ASSERT_TRUE(DefaultPlotKeyProvider()->NewPlotKeys(
      sparse.plot.header.plotId, &sparse.plot.header.keyBlockFlag, sparse.plot.header.keyBlock,
      &code));
  std::vector<uint8_t> finals[2];
  for (const bool killed : {false, true}) {
    Farm farm;
    sparse.plot.Write(farm.plots / "found.spt");
    const std::vector<std::string> args{"-s", farm.settings, "-d", farm.plots, "--no-plotting",
                                        "--no-benchmark"};
    if (killed) {
      ProgramRun run(kTestBuild, args);
      ASSERT_TRUE(run.WaitFor("Start finalization")) << run.Console();
      run.Signal(SIGKILL);
      ASSERT_EQ(farm.Files(".fpt_part").size(), 1u) << run.Console();
      run.End();
    }
    ProgramRun run(kTestBuild, args);
    for (int i = 0; i < 1200 && (farm.Files(".fpt").empty() || !farm.Files(".spt").empty()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    run.Signal(SIGINT);
    EXPECT_EQ(run.End(), 0) << run.Console();
    ASSERT_EQ(farm.Files(".fpt").size(), 1u) << run.Console();
    EXPECT_TRUE(farm.Files(".spt").empty() && farm.Files(".fpt_part").empty()) << run.Console();
    finals[killed] = ReadWholeFile(farm.Files(".fpt")[0]);
    PlotHeader header;
    std::memcpy(&header, finals[killed].data(), sizeof header);
    EXPECT_EQ(std::tuple(header.sparse, header.complete), std::tuple(0, 1));
    for (int t = 0; t < 6; ++t) EXPECT_EQ(header.tables[t].entryCount, sparse.expected[t].size());
    // The random marker value differs from run to run.
    std::memset(finals[killed].data() + 24, 0, 8);
    std::memset(finals[killed].data() + header.start.markerOffset, 0, 8);
  }
  EXPECT_TRUE(finals[0] == finals[1]);
}

// Killed while plotting and while finalizing, then started again with the same command line:
// the plot goes on to its final plot, and the sparse plot goes once that is complete.
TEST(WholeProgram, KilledRunsResumeTheSamePlot) {
  EnterPrivateNetwork();
  Farm farm;
  const std::vector<std::string> args{"-s", farm.settings, "-d,1N", farm.plots, "--no-benchmark",
                                      "-m", "3GB"};
  // A plot killed before its first save has nothing to resume and is made anew; a finalization
  // goes on from its complete sparse plot.
  std::string stem;
  for (const auto& [stage, extension] :
       {std::pair{"Plotting, ", ".spt_part"}, {"Start finalization", ".fpt_part"}}) {
    ProgramRun run(kTestBuild, args);
    ASSERT_TRUE(run.WaitFor(stage)) << run.Console();
    run.Signal(SIGKILL);
    run.End();
    const std::vector<fs::path> part = farm.Files(extension);
    ASSERT_EQ(part.size(), 1u) << run.Console();
    stem = part[0].stem();
  }
  ProgramRun run(kTestBuild, args);
  for (int i = 0; i < 1200 && (farm.Files(".fpt").empty() || !farm.Files(".spt").empty()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  run.Signal(SIGINT);
  EXPECT_EQ(run.End(), 0) << run.Console();
  ASSERT_EQ(farm.Files(".fpt").size(), 1u) << run.Console();
  EXPECT_EQ(farm.Files(".fpt")[0].stem(), stem);
  EXPECT_TRUE(farm.Files(".spt").empty() && farm.Files(".spt_part").empty()) << run.Console();
  EXPECT_EQ(run.Console().find("corrupt"), std::string::npos) << run.Console();
}

// Ctrl+C twice saves the plot in progress at once and a restart continues it; Ctrl+C once
// finishes it first.
TEST(WholeProgram, InterruptedPlottingResumes) {
  EnterPrivateNetwork();
  std::unique_ptr<Farm> farm;
  // Interrupts, and whether the run starts on a fresh farm.
  for (const auto& [interrupts, fresh] : {std::pair{2, true}, {0, false}, {1, true}}) {
    if (fresh) farm = std::make_unique<Farm>();
    ProgramRun run(kTestBuild, {"-s", farm->settings, "-d,1N", farm->plots, "--no-benchmark",
                                "--no-finalizing", "-m", "2GB"});
    ASSERT_TRUE(run.WaitFor("Plotting, ")) << run.Console();
    for (int i = 0; i < interrupts; ++i) {
      // Signals that arrive together may count as one.
      if (i > 0) {
        ASSERT_TRUE(run.WaitFor("Stop requested")) << run.Console();
      }
      run.Signal(SIGINT);
    }
    if (interrupts == 0) {
      EXPECT_NE(run.Console().find("Continue plotting"), std::string::npos) << run.Console();
      ASSERT_TRUE(run.WaitFor("Plot done")) << run.Console();
      run.Signal(SIGINT);
    }
    EXPECT_EQ(run.End(), 0) << run.Console();
    // Saved at once, or the one plot of the directory completed (never a second one).
    EXPECT_EQ(farm->Files(".spt_part").size(), interrupts == 2 ? 1u : 0u) << run.Console();
    EXPECT_EQ(farm->Files(".spt").size(), interrupts == 2 ? 0u : 1u) << run.Console();
  }
}
