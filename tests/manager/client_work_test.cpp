#include <gtest/gtest.h>

#include "tests/manager/fake_plot_work.h"
#include "tests/support/thrown_text.h"
#include "tests/support/whole_file.h"

using namespace std::chrono_literals;

TEST(ClientWork, PlotFinalizeAndMineInOneDirectory) {
  WorkRig rig;
  WorkRig::Rig& client = *rig.client;
  // A failing step is logged and the next one runs.
  client.ManagerState.store(7);
  EXPECT_EQ(client.Step(), Lines{"ERROR: 13C18F30"});
  client.ManagerState.store(0);
  Lines lines = client.Step();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"Allocating memory...", "7.90GiB of memory allocated",
                   "Start plotting \"" + rig.Stem(".spt") + "\""}));
  rig.WriteMade(true);

  rig.engine.status = {3, 0.25, 0, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Plotting, 25%, 0s elapsed"});
  rig.engine.status.progress = 0.5;
  client.clock += 10s;
  EXPECT_EQ(client.Step(), Lines{"Plotting, 50%, 10s elapsed, 20s remaining"});
  rig.engine.status = {0, 1, 1, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Plot done \"" + rig.Stem(".spt") + "\""});
  ASSERT_EQ(client.MinedPlots.size(), 1u);
  std::shared_ptr<PlotFile> heldByAProofJob = client.MinedPlots[0];

  // The directory takes one plot: the planner finalizes it next to itself.
  EXPECT_EQ(client.Step().back(), "Start finalization \"" + rig.Stem(".fpt") + "\"");
  EXPECT_EQ(rig.engine.calls,
            (Lines{"create", "start " + rig.Path(".spt_part").filename().string(), "delete"}));
  rig.WriteMade(false);
  rig.job.status = {2, 0.995, 0, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Finalizing, 99%, 0s elapsed"});
  rig.job.status = {0, 1, 1, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Finalized \"" + rig.Stem(".fpt") + "\""});
  ASSERT_EQ(client.MinedPlots.size(), 1u);
  EXPECT_EQ(client.MinedPlots[0]->path, rig.Path(".fpt"));
  // Still read by a proof job: deleted by the first pass after it lets go.
  client.Step();
  EXPECT_TRUE(fs::exists(rig.Path(".spt")));
  heldByAProofJob.reset();
  lines = client.Step();
  EXPECT_NE(std::ranges::find(lines, "File deleted \"" + rig.Stem(".spt") + "\""), lines.end());
  EXPECT_FALSE(fs::exists(rig.Path(".spt")));
}

TEST(ClientWork, ConfiguredPlotScaleReachesEngineJobAndProofSearch) {
  WorkRig rig;
  rig.config.scale = PlotScale::WithShift(12);
  rig.Restart(std::make_unique<FakeWorkFactory>(rig.engine, rig.job));
  rig.PlotAndStartFinalizing();
  EXPECT_EQ(rig.engine.scale, rig.config.scale);
  EXPECT_EQ(rig.job.scale, rig.config.scale);
  EXPECT_EQ(rig.client->Engine->Options().scale, rig.config.scale);
}

// Ctrl+C once: the work is finished first; twice: it is saved. Either way the run then ends
// with the plotting memory given back.
TEST(ClientWork, StopFinishesTheWorkAndCancelSavesIt) {
  struct Row {
    bool cancel, finalizing;
    Lines expected;
  } rows[] = {
      {false, false, {"Plotting, 40%, 0s elapsed", "Plot done"}},
      {true, false, {"Plotting, 40%, 0s elapsed", "Saving, 0%, 0s elapsed", "Saved"}},
      {true, true, {"Saving, 0%, 0s elapsed", "Saved"}},
  };
  for (const Row& row : rows) {
    WorkRig rig;
    WorkRig::Rig& client = *rig.client;
    if (row.finalizing) {
      rig.PlotAndStartFinalizing();
    } else {
      client.Step();
      rig.WriteMade(true);
    }
    WorkScript& work = row.finalizing ? rig.job : rig.engine;
    work.status = {row.finalizing ? 2u : 3u, 0.4, 0, nullptr};
    EXPECT_EQ(row.cancel ? client.RequestShutdown(false) : client.RequestStop(),
              row.finalizing ? 2u : 1u);
    Lines seen;
    for (int i = 0; i < 4 && client.ManagerState.load() != 0; ++i) {
      if (i == 1 && !row.cancel) work.status = {0, 1, 1, nullptr};
      for (const auto& line : client.Step()) seen.push_back(line.substr(0, line.find(" \"")));
    }
    EXPECT_EQ(seen, row.expected);
    EXPECT_EQ(work.calls.back() == "save", row.cancel);
    EXPECT_EQ(client.Step().back(), "Memory deallocated");
    EXPECT_TRUE(client.IsFinished());
  }
}

// Its sparse plot goes only once the final plot is whole and mined.
TEST(ClientWork, FinalPlotThatCannotBeMinedKeepsItsSparsePlot) {
  for (const bool marker : {false, true}) {
    WorkRig rig;
    rig.PlotAndStartFinalizing();
    rig.WriteMade(false, marker ? 5 : 0, marker);  // 5: a key kind nobody knows
    rig.job.status = {0, 1, 1, nullptr};
    EXPECT_EQ(rig.client->Step().back(),
              marker ? "WARNING: Sparse plot \"" + rig.Stem(".spt") +
                           "\" is kept: its final plot could not be added to mining"
                     : "WARNING: Finalized plot check failed");
    ASSERT_EQ(rig.client->MinedPlots.size(), 1u);
    EXPECT_EQ(rig.client->MinedPlots[0]->path, rig.Path(".spt"));
    EXPECT_TRUE(fs::exists(rig.Path(".spt")));
  }
}

// A kill between creating a final plot and writing its header leaves at most the start of a
// header, which is made again; any other file of that name is kept and refused.
TEST(ClientWork, FinalPlotLeftWithoutItsHeaderIsMadeAgain) {
  const std::string magic = "VKCPPLOT";
  const std::pair<std::string, bool> rows[] = {
      {"", true},
      {magic + std::string(4088, 0), true},
      {std::string(4096, 'x'), false},
      {magic + std::string(sizeof(PlotHeader), 0), false},
  };
  for (const auto& [left, madeAgain] : rows) {
    WorkRig rig;
    rig.client->Step();
    rig.WriteMade(true);
    rig.engine.status = {0, 1, 1, nullptr};
    rig.client->Step();
    WriteWholeFile(rig.Path(".fpt_part"), left);
    const Lines lines = rig.client->Step();
    const std::string expected =
        madeAgain ? "Start finalization \"" + rig.Stem(".fpt") + "\""
                  : "ERROR: Failed to start finalization: output file already exists: \"" +
                        rig.Path(".fpt_part").string() + "\"";
    EXPECT_NE(std::ranges::find(lines, expected), lines.end()) << left.size() << lines.back();
    EXPECT_EQ(rig.job.calls.size(), madeAgain ? 2u : 0u);
    // A file kept is left as it was.
    EXPECT_EQ(madeAgain || ReadTextFile(rig.Path(".fpt_part")) == left, true);
  }
}

// Work that fails while it runs is begun again only after a rest that doubles with each failure
// in its directory; finished work there starts the count over.
TEST(ClientWork, WorkFailingWhileItRunsRestsFirst) {
  WorkRig rig;
  const std::string plot = "Start plotting", finalize = "Start finalization";
  const std::string plotFailed = "ERROR: Plotting failed: 2F1D0C3B",
                    finalizeFailed = "ERROR: Finalization failed: 2F1D0C3B";
  struct Step {
    int seconds;       // the clock moves first
    char event;        // 'p' the plot fails, 'f' the finalization fails, 'd' the plot is done
    std::string last;  // how the step's last line begins; empty: no line
  };
  // clang-format off
  const Step steps[] = {{0, 0, plot}, {0, 'p', plotFailed}, {9, 0, ""}, {1, 0, plot},
                        {0, 'p', plotFailed}, {19, 0, ""}, {1, 0, plot}, {0, 'd', "Plot done"},
                        {0, 0, finalize}, {0, 'f', finalizeFailed}, {9, 0, ""}, {1, 0, finalize}};
  // clang-format on
  for (const Step& step : steps) {
    rig.client->clock += std::chrono::seconds(step.seconds);
    const auto failure = std::make_exception_ptr(std::runtime_error("2F1D0C3B"));
    if (step.event == 'p') rig.engine.status.failure = failure;
    if (step.event == 'f') rig.job.status.failure = failure;
    if (step.event == 'd') {
      rig.WriteMade(true);
      rig.engine.status = {0, 1, 1, nullptr};
    }
    const Lines lines = rig.client->Step();
    const std::string last = lines.empty() ? "" : lines.back();
    EXPECT_EQ(last.substr(0, step.last.empty() ? std::string::npos : step.last.size()), step.last)
        << "step " << &step - steps;
  }

  // A rest keeps new work from its own directory only.
  WorkRig two;
  TestDirectory other;
  two.specs.push_back({other.Path(), -1, -1, 0, 0, 1, 0});
  two.Restart(std::make_unique<FakeWorkFactory>(two.engine, two.job));
  std::tie(two.client->free[other.Path()], two.client->device[other.Path()]) =
      std::pair(10 * kClaimed, 1);
  EXPECT_EQ(two.client->Step().back().rfind(plot + " \"" + two.dir.Path().string(), 0), 0u);
  two.engine.status.failure = std::make_exception_ptr(std::runtime_error("2F1D0C3B"));
  EXPECT_EQ(two.client->Step(), Lines{plotFailed});
  EXPECT_EQ(two.client->Step().back().rfind(plot + " \"" + other.Path().string(), 0), 0u);
}

TEST(ClientWork, DestroyedMidPlotSavesInsteadOfFinishing) {
  WorkRig rig;
  rig.client->Step();
  rig.engine.status = {3, 0.3, 0, nullptr};
  rig.engine.saveTicks = 3;
  rig.client.reset();
  EXPECT_EQ(Lines(rig.engine.calls.begin() + 2, rig.engine.calls.end()), (Lines{"save", "delete"}));
  EXPECT_EQ(rig.engine.saveTicks, -1);  // status was read until the save had ended
}

TEST(ClientWork, PlottingMemoryMessages) {
  struct Row {
    uint64_t hostGiB, amountGiB;
    bool cancel;
    std::string second;  // after "Allocating memory..."
  } const rows[] = {
      {64, 8, false, "7.90GiB of memory allocated"},
      {64, 100, false,
       "WARNING: 100.00GiB of memory requested, but only 61.60GiB allocated, performance will be "
       "degraded"},
      {3, 8, false,
       "Failed to allocate enough memory, at least 2.58GiB required, but only 2.10GiB allocated"},
      {64, 8, true, ""},
  };
  for (const Row& row : rows) {
    WorkRig rig(row.amountGiB, row.hostGiB);
    WorkRig::Rig& client = *rig.client;
    client.CancelRequest = row.cancel;
    const std::string thrown = ThrownText([&] {
      client.AllocatePlottingMemory();
      if (!row.cancel) client.AllocatePlottingMemory();  // finds the memory there
    });
    if (thrown != "no exception") client.lines.push_back(thrown);
    client.FreePlottingMemory();
    client.FreePlottingMemory();
    EXPECT_EQ(client.lines, row.cancel ? Lines{"Allocating memory..."}
                                       : Lines({"Allocating memory...", row.second,
                                                "Deallocating memory...", "Memory deallocated"}));
  }
}
