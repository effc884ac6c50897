#include <gtest/gtest.h>

#include <thread>

#include "tests/manager/fake_plot_work.h"
#include "runtime/text_utils.h"
#include "tests/thrown_text.h"

namespace {

using namespace std::chrono_literals;

DirectorySpec OnePlotDir(const fs::path& path) { return {path, -1, 1, 1, 1, 1, 0}; }

ClientConfig Config(uint64_t memoryGiB = 8) {
  ClientConfig config;
  config.MemoryAmount = memoryGiB << 30;
  return config;
}

bool Has(const Lines& lines, const std::string& text) {
  return std::ranges::find(lines, text) != lines.end();
}

}  // namespace

TEST(ClientWork, PlotFinalizeAndMineInOneDirectory) {
  TestDirectory dir;
  FakeSystemMemory host;
  SetHost(host, 64);
  WorkScript engine, job;
  WorkClient client({OnePlotDir(dir.Path())}, Config(), host, engine, job);

  Lines lines = client.Step();
  ASSERT_EQ(engine.calls.size(), 2u) << ::testing::PrintToString(lines);
  const std::string hex = ToHexUpper(engine.id.data(), 32);
  const std::string stem = (dir.Path() / (hex.substr(0, 4) + "..." + hex.substr(60))).string();
  EXPECT_EQ(engine.calls, (Lines{"create", "start " + hex + ".spt_part"}));
  EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
            (Lines{"Allocating memory...", "7.90GiB of memory allocated",
                   "Start plotting \"" + stem + ".spt\""}));
  EXPECT_EQ(client.ManagerState.load(), 1u);
  WriteMadePlot(dir / (hex + ".spt_part"), engine, 1);

  engine.status = {3, 0.25, 0, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Plotting, 25%, 0s elapsed"});
  engine.status.Progress = 0.5;
  client.clock += 10s;
  EXPECT_EQ(client.Step(), Lines{"Plotting, 50%, 10s elapsed, 20s remaining"});
  engine.status = {0, 1, 1, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Plot done \"" + stem + ".spt\""});
  EXPECT_TRUE(fs::exists(dir / (hex + ".spt")));
  ASSERT_EQ(client.MinedPlots.size(), 1u);
  std::shared_ptr<PlotFile> heldByAProofJob = client.MinedPlots[0];

  // One plot is all the directory takes: the planner finalizes it next to itself.
  EXPECT_EQ(client.Step().back(), "Start finalization \"" + stem + ".fpt\"");
  EXPECT_EQ(engine.calls.back(), "delete");
  EXPECT_EQ(job.calls, (Lines{"create", "start " + hex + ".fpt_part"}));
  WriteMadePlot(dir / (hex + ".fpt_part"), engine, 0);
  job.status = {2, 0.995, 0, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Finalizing, 99%, 0s elapsed"});
  job.status = {0, 1, 1, nullptr};
  EXPECT_EQ(client.Step(), Lines{"Finalized \"" + stem + ".fpt\""});
  ASSERT_EQ(client.MinedPlots.size(), 1u);
  EXPECT_EQ(client.MinedPlots[0]->path, dir / (hex + ".fpt"));
  // Still read by a proof job: deleted by the first pass after it lets go.
  EXPECT_TRUE(fs::exists(dir / (hex + ".spt")));
  client.Step();
  EXPECT_TRUE(fs::exists(dir / (hex + ".spt")));
  heldByAProofJob.reset();
  EXPECT_TRUE(Has(client.Step(), "File deleted \"" + stem + ".spt\""));
  EXPECT_FALSE(fs::exists(dir / (hex + ".spt")));
  EXPECT_TRUE(client.PendingDeletes.empty());
}

// Ctrl+C once: the plot is finished first; twice: it is saved. Either way the run then ends
// with the plotting memory given back.
TEST(ClientWork, StopFinishesTheWorkAndCancelSavesIt) {
  struct Row {
    bool cancel;
    bool finalizing;
    Lines expected;
  } rows[] = {
      {false, false, {"Plotting, 40%, 0s elapsed", "Plot done"}},
      {true, false, {"Plotting, 40%, 0s elapsed", "Saving, 0%, 0s elapsed", "Saved"}},
      {true, true, {"Saving, 0%, 0s elapsed", "Saved"}},
  };
  for (const Row& row : rows) {
    TestDirectory dir;
    FakeSystemMemory host;
    SetHost(host, 64);
    WorkScript engine, job;
    WorkClient client({OnePlotDir(dir.Path())}, Config(), host, engine, job);
    client.Step();
    WorkScript& work = row.finalizing ? job : engine;
    WriteMadePlot(dir / (ToHexUpper(engine.id.data(), 32) + ".spt_part"), engine, 1);
    if (row.finalizing) {
      engine.status = {0, 1, 1, nullptr};
      client.Step();
      client.Step();
    }
    work.status = {row.finalizing ? 2u : 3u, 0.4, 0, nullptr};
    EXPECT_EQ(row.cancel ? client.RequestShutdown(false) : client.RequestStop(),
              row.finalizing ? 2u : 1u);
    Lines seen;
    for (int i = 0; i < 4 && client.ManagerState.load() != 0; ++i) {
      if (i == 1 && !row.cancel) work.status = {0, 1, 1, nullptr};
      for (const std::string& line : client.Step()) seen.push_back(line.substr(0, line.find(" \"")));
    }
    EXPECT_EQ(seen, row.expected);
    EXPECT_EQ(work.calls.back(), row.cancel ? "save" : "start " + work.calls[1].substr(6));
    const Lines end = client.Step();
    EXPECT_EQ(Lines(end.end() - 2, end.end()), (Lines{"Deallocating memory...", "Memory deallocated"}));
    EXPECT_TRUE(client.IsFinished());
  }
}
