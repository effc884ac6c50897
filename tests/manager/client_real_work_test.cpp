#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "manager/text_helpers.h"
#include "plotter/finalize_resume_record.h"
#include "tests/manager/fake_plot_work.h"
#include "tests/plotter/sparse_plot_support.h"

using namespace std::chrono_literals;

namespace {

// Manager steps until the work in progress has ended (10 minutes at most); what they logged.
Lines StepUntilIdle(WorkRig::Rig& client) {
  Lines seen;
  for (int i = 0; i < 60000 && client.ManagerState.load() != 0; ++i) {
    std::this_thread::sleep_for(10ms);
    for (std::string& line : client.Step()) seen.push_back(std::move(line));
  }
  return seen;
}

bool Has(const Lines& lines, const std::string& line) {
  return std::ranges::find(lines, line) != lines.end();
}

// Holds a finalization at its first block of table 2 until the client has asked it to save.
struct FinalizeGate {
  void Hold(const FinalizeResumeRecord& r) {
    if (r.table != 2 || stage.load() != 0) return;
    stage = 1;
    stage.notify_all();
    stage.wait(1);
  }
  PlotWorkHooks Hooks() {
    return {.finalizeStop = [this](const FinalizeResumeRecord& r) { Hold(r); }};
  }
  // Ctrl+C twice while the job is held; then the job goes on to its save.
  void SaveThrough(WorkRig::Rig& client) {
    for (int i = 0; i < 60000 && stage.load() == 0; ++i) std::this_thread::sleep_for(10ms);
    client.RequestShutdown(false);
    client.Step();
    stage = 2;
    stage.notify_all();
    const Lines lines = StepUntilIdle(client);
    EXPECT_EQ(lines.empty() ? "" : lines.back(), "Saved");
  }
  std::atomic<int> stage{0};  // 1: the job waits; 2: it goes on
};

}  // namespace

// The real job finalizes a sparse plot keyed like one of this client's, is saved mid-table and
// continued by the next client; the final plot is then mined in place of the sparse plot.
TEST(ClientRealWork, FinalizesSavesResumesAndMinesASparsePlot) {
  WorkRig rig(3);
  rig.config.Scale = PlotScale::WithShift(10);
  TestPlot plot = MakeSparseCase(11).plot;
  const PlotHeader keyed = Plot(3);
  std::memcpy(plot.header.plotId, keyed.plotId, sizeof(keyed.plotId));
  std::memcpy(plot.header.keyBlock, keyed.keyBlock, sizeof(keyed.keyBlock));
  plot.header.keyBlockFlag = 1;
  const fs::path source = rig.dir / (ToHexUpper(keyed.plotId, 32) + ".spt");
  const fs::path final = fs::path(source).replace_extension(".fpt");
  const std::string quoted = "\"" + PathStem(final) + "\"";
  plot.Write(source);
  FinalizeGate gate;
  rig.Restart(MakeEnginePlotWorkFactory(gate.Hooks()));
  EXPECT_EQ(rig.client->Step().back(), "Start finalization " + quoted);
  gate.SaveThrough(*rig.client);

  rig.Restart(MakeEnginePlotWorkFactory());
  EXPECT_EQ(rig.client->Step().back(), "Continue finalization " + quoted);
  EXPECT_TRUE(Has(StepUntilIdle(*rig.client), "Finalized " + quoted));
  ASSERT_EQ(rig.client->MinedPlots.size(), 1u);
  EXPECT_EQ(rig.client->MinedPlots[0]->path, final);
  EXPECT_FALSE(fs::exists(source));
}
