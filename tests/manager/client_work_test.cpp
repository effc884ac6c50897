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

TEST(ClientWork, FinalPlotThatCannotBeMinedKeepsItsSparsePlot) {
  struct Row {
    bool marker;  // the final plot's completion marker is there
    bool keysMatch;
    std::string warning;
  } rows[] = {
      {false, true, "WARNING: Finalized plot check failed"},
      {true, false, "WARNING: Sparse plot \"%.spt\" is kept: its final plot could not be added to mining"},
  };
  for (const Row& row : rows) {
    TestDirectory dir;
    FakeSystemMemory host;
    SetHost(host, 64);
    WorkScript engine, job;
    WorkClient client({OnePlotDir(dir.Path())}, Config(), host, engine, job);
    client.Step();
    const std::string hex = ToHexUpper(engine.id.data(), 32);
    WriteMadePlot(dir / (hex + ".spt_part"), engine, 1);
    engine.status = {0, 1, 1, nullptr};
    client.Step();
    client.Step();
    WorkScript final = engine;
    if (!row.keysMatch) final.keys[0] = 5;  // a key kind nobody knows
    WriteMadePlot(dir / (hex + ".fpt_part"), final, 0, row.marker);
    job.status = {0, 1, 1, nullptr};
    std::string warning = row.warning;
    if (warning.find('%') != std::string::npos) {
      warning.replace(warning.find('%'), 1, (dir.Path() / (hex.substr(0, 4) + "..." + hex.substr(60))).string());
    }
    EXPECT_EQ(client.Step().back(), warning);
    ASSERT_EQ(client.MinedPlots.size(), 1u);
    EXPECT_EQ(client.MinedPlots[0]->path, dir / (hex + ".spt"));
    EXPECT_TRUE(fs::exists(dir / (hex + ".spt")));
  }
}

TEST(ClientWork, DestroyedMidPlotSavesInsteadOfFinishing) {
  TestDirectory dir;
  FakeSystemMemory host;
  SetHost(host, 64);
  WorkScript engine, job;
  {
    WorkClient client({OnePlotDir(dir.Path())}, Config(), host, engine, job);
    client.Step();
    engine.status = {3, 0.3, 0, nullptr};
    engine.saveTicks = 3;
  }
  EXPECT_EQ(Lines(engine.calls.begin() + 2, engine.calls.end()), (Lines{"save", "delete"}));
  EXPECT_EQ(engine.saveTicks, -1);  // every status read until the save had ended
}

// A failing step is reported and the thread goes on, so a later stop still ends the run.
TEST(ClientWork, ManagerThreadOutlivesFailingSteps) {
  class FailingBenchmark : public Client {
   public:
    explicit FailingBenchmark(const DirectorySpec& dir)
        : Client(ScanClient::WithThreads({.RunBenchmark = 1}), &dir, 1,
                 [this](const std::string& s) { std::lock_guard lock(m); lines.push_back(s); },
                 {nullptr, nullptr, false}) {
      StartThreads();
    }
    void RunBenchmark() override { throw std::runtime_error("no plot to time"); }
    ~FailingBenchmark() override {  // the thread logs into this object's members
      RequestShutdown(false);
      { std::lock_guard lock(Mutex); ThreadStop = true; }
      ManagerThreadHandle.join();
    }
    Lines Taken() {
      std::lock_guard lock(m);
      return lines;
    }
    using Client::ManagerState;
    std::mutex m;
    Lines lines;
  };
  TestDirectory dir;
  FailingBenchmark client(Dir(dir.Path()));
  client.ManagerState.store(7);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (client.Taken().size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  client.ManagerState.store(0);
  client.RequestShutdown(false);
  while (!client.IsFinished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(client.IsFinished());
  const Lines lines = client.Taken();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2),
            (Lines{"ERROR: Benchmark failed: no plot to time", "ERROR: 13C18F30"}));
}

TEST(ClientWork, PlottingMemoryMessages) {
  struct Row {
    uint64_t hostGiB, amountGiB;
    bool cancel;
    Lines expected;
  } rows[] = {
      {64, 8, false, {"Allocating memory...", "7.90GiB of memory allocated"}},
      {64, 100, false,
       {"Allocating memory...", "WARNING: 100.00GiB of memory requested, but only 61.60GiB "
                                "allocated, performance will be degraded"}},
      {3, 8, false,
       {"Allocating memory...", "Failed to allocate enough memory, at least 2.58GiB required, "
                                "but only 2.10GiB allocated"}},
      {64, 8, true, {"Allocating memory..."}},
  };
  for (const Row& row : rows) {
    TestDirectory dir;
    FakeSystemMemory host;
    SetHost(host, row.hostGiB);
    WorkScript engine, job;
    WorkClient client({Dir(dir.Path())}, Config(row.amountGiB), host, engine, job);
    client.CancelRequest = row.cancel;
    client.lines.clear();
    try {
      client.AllocatePlottingMemory();
      if (!row.cancel) client.AllocatePlottingMemory();  // finds the memory there
    } catch (const std::runtime_error& error) {
      client.lines.push_back(error.what());
    }
    EXPECT_EQ(client.lines, row.expected);
    client.lines.clear();
    client.FreePlottingMemory();
    client.FreePlottingMemory();
    const Lines freed = {"Deallocating memory...", "Memory deallocated"};
    EXPECT_EQ(client.lines, row.cancel ? Lines() : freed);
  }
}

TEST(ClientWork, ConstructorChecks) {
  struct Row {
    uint32_t level, plotting, mining, read;
    uint64_t memory;
    bool withDir;
    std::string thrown;
  } rows[] = {
      {0, 1, 1, ~0u, 0, false, "EC4C6B02"},
      {0, 0, 1, 0, 0, false, "9B39D1E2"},
      {0, 300, 0, 0, 0, false, "E7AEDBDD"},
      {0, 1, 1, 0, 32 << 20, false,
       "Not enough memory, at least 0.06GiB needed even when plotting and finalizing are disabled"},
      {~0u, 1, 1, 0, 0, false, "Invalid compression level, negative values are not allowed"},
      {5, 1, 1, 0, 0, false, "Invalid compression level, maximum allowed value is 5"},
      {0, 1, 1, 0, uint64_t{2} << 30, true, "Too few memory specified, at least 2.54GiB needed"},
      {4, 300, 200, 0, 0, true, "no exception"},
  };
  TestDirectory dir;
  const DirectorySpec spec = Dir(dir.Path());
  for (const Row& row : rows) {
    ClientConfig config{row.level, row.plotting, row.mining, row.read, row.memory};
    config.MiningOff = config.TestThreadOff = 1;
    EXPECT_EQ(ThrownText([&] { Client(config, &spec, row.withDir ? 1 : 0, [](auto&) {}); }),
              row.thrown);
  }
}
