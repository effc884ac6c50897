#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "manager/text_helpers.h"
#include "plotter/finalize_resume_record.h"
#include "plotter/plot_engine.h"
#include "tests/manager/fake_plot_work.h"

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
    return {nullptr, [this](const FinalizeResumeRecord& r) { Hold(r); }};
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

// One thinned plot along the whole road: made, saved and continued by the next client, then
// finalized, saved mid-table and continued by the next one, and mined in place of its sparse
// plot, which is deleted.
TEST(ClientRealWork, MakesFinalizesAndMinesAThinnedPlotAcrossSaves) {
  WorkRig rig(3);
  rig.config.scale = PlotScale::WithShift(10);
  PlotWorkHooks hooks;
  hooks.plotStop = [](uint32_t state, const TempFileHeader& h) {
    return state == kPlotPlotting && h.step == 3 && h.bucket == 40;
  };
  rig.Restart(MakeEnginePlotWorkFactory(hooks));
  const std::string started = rig.client->Step().back();
  ASSERT_EQ(started.substr(0, 15), "Start plotting ");
  const std::string sparse = started.substr(15);
  const Lines saved = StepUntilIdle(*rig.client);
  EXPECT_EQ(saved.empty() ? "" : saved.back(), "Saved");

  FinalizeGate gate;
  rig.Restart(MakeEnginePlotWorkFactory(gate.Hooks()));
  EXPECT_EQ(rig.client->Step().back(), "Continue plotting " + sparse);
  EXPECT_TRUE(Has(StepUntilIdle(*rig.client), "Plot done " + sparse));
  const fs::path source = rig.client->JobPlotPath;
  const std::string final = "\"" + PathStem(fs::path(source).replace_extension(".fpt")) + "\"";
  ASSERT_EQ(rig.client->MinedPlots.size(), 1u);
  EXPECT_EQ(rig.client->MinedPlots[0]->path, source);
  EXPECT_EQ(rig.client->Step().back(), "Start finalization " + final);
  gate.SaveThrough(*rig.client);

  rig.Restart(MakeEnginePlotWorkFactory());
  EXPECT_EQ(rig.client->Step().back(), "Continue finalization " + final);
  EXPECT_TRUE(Has(StepUntilIdle(*rig.client), "Finalized " + final));
  ASSERT_EQ(rig.client->MinedPlots.size(), 1u);
  EXPECT_EQ(rig.client->MinedPlots[0]->path, fs::path(source).replace_extension(".fpt"));
  EXPECT_FALSE(fs::exists(source));
}
