#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <map>
#include <sstream>
#include <thread>

#include "manager/key_embedding.h"
#include "manager/plot_test_threshold.h"
#include "manager/scan_file_reader.h"
#include "manager/text_helpers.h"
#include "tests/manager/scan_test_support.h"
#include "tests/prover/planted_plot_support.h"

namespace {

class TestingClient : public ScanClient {
 public:
  using Client::Engine, Client::embedFault_, Client::Mutex, Client::TestPlotEntry, Client::TestRng,
      Client::ThreadStop;
  using ScanClient::ScanClient;
};

// Byte 36 and the key block as the file holds them.
std::vector<uint8_t> KeyBytes(const fs::path& path) {
  std::vector<uint8_t> bytes(600);
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), 600);
  bytes.erase(bytes.begin() + 37, bytes.begin() + 88);
  return {bytes.begin() + 36, bytes.end()};
}

// Wake-ups so far of each thread at niceness 19 (asleep, with `asleep`): the workers of the
// low-priority pool, which wake only for work.
std::map<std::string, uint64_t> Nice19Wakeups(bool asleep) {
  std::map<std::string, uint64_t> out;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream stat(task.path() / "stat"), status(task.path() / "status");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(std::min(text.size(), text.rfind(')') + 2)));
    std::string state, nice;
    fields >> state;
    for (int field = 4; field <= 19; ++field) fields >> nice;
    if ((asleep && state != "S") || nice != "19") continue;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        out[task.path().filename()] = std::stoull(line.substr(24));
      }
    }
  }
  return out;
}

}  // namespace

TEST(PlotTest, TestOutcomesAndTheKeyBlockOnDisk) {
  DelegatedKeys keys;
  const PlotHeader delegated = Plot(5, kPlotKeysDelegated, keys.given.data());
  TestDirectory dir;
  const fs::path path = dir / "p.fpt";
  const std::string start = "Start testing \"" + PathStem(path) + "\"", passed = "Test passed",
                    failed = "ERROR: Failed to embed secret key: injected",
                    embedded = "Secret key was embedded into \"" + PathStem(path) + "\"";
  enum Setup { kNone, kInvalidProof, kStop, kReadOnly };
  // (skip-test switch, setup, the embedding step that fails or -1, lines)
  const std::tuple<uint8_t, Setup, int, Lines> rows[] = {
      {1, kNone, -1, {passed, embedded}},
      {1, kNone, 1, {passed, failed}},
      {1, kNone, 2, {passed, failed}},
      {1, kReadOnly, -1, {passed}},
      {0, kNone, -1, {start, "ERROR: Test failed: Too few proofs"}},
      {0, kInvalidProof, -1, {start, "ERROR: Test failed: Found invalid proof"}},
      {0, kStop, -1, {start, "Test cancelled"}}};
  for (const auto& [skipTest, setup, failStep, lines] : rows) {
    WritePlot(path, delegated);
    const std::vector<uint8_t> before = KeyBytes(path);
    TestingClient client({Dir(dir.Path(), setup == kReadOnly)}, {.skipTest = skipTest});
    client.embedFault_ = [&, failStep = failStep](int step) {
      if (step == failStep) throw std::runtime_error("injected");
    };
    auto held = OpenPlotFile(*client.Engine, path, 0);
    held->failedProofCount = setup == kInvalidProof;
    client.ThreadStop = setup == kStop;
    client.lines.clear();
    client.TestPlotEntry({0, path});
    EXPECT_EQ(client.lines, lines) << failStep;
    const std::vector<uint8_t> after = KeyBytes(path);
    if (lines.back() != embedded) {
      EXPECT_EQ(after, before) << failStep;
      continue;
    }
    // Flag 1 and the completed record, whose keys give the plot id without the delegation key.
    EXPECT_EQ(Bytes(after.data(), 2), (std::vector<uint8_t>{1, kPlotKeysCompleted}));
    EXPECT_EQ(Bytes(after.data() + 1, 512), Bytes(held->header.keyBlock, 512));
    EXPECT_TRUE(KeyBlockMatchesPlotId(delegated.plotId, after.data() + 1));
  }
}

// A file whose embedding stopped after its block was written still carries its keys.
TEST(PlotTest, FlagZeroWithAMatchingBlockCountsAsKeysPresent) {
  TestDirectory dir;
  PlotHeader zeroFlag = Plot(5), empty = Plot(5, -1), foreign = Plot(9);
  zeroFlag.keyBlockFlag = foreign.keyBlockFlag = 0;
  std::copy(zeroFlag.plotId, zeroFlag.plotId + 32, foreign.plotId);
  const std::pair<PlotHeader, uint8_t> rows[] = {
      {Plot(5), 1}, {zeroFlag, 1}, {empty, 0}, {foreign, 0}};
  for (const auto& [header, hasKeys] : rows) {
    WritePlot(dir / "p.fpt", header);
    std::array<uint8_t, 512> block{};
    EXPECT_EQ(ReadScannedFile(dir / "p.fpt", 0, block).HasKeyBlock, hasKeys);
  }
}

// With --low-priority the test's full proofs recompute on the nice-19 pool. The plot answers the
// test's first challenge with the root of a genuine proof of another challenge: all of its
// leaves are recomputed before the proof fails.
TEST(PlotTest, FullProofsRecomputeOnTheLowPriorityPool) {
  if (::getpriority(PRIO_PROCESS, 0) == 19) GTEST_SKIP() << "every thread is at niceness 19";
  const PosRecord r = LoadPosRecords().at(1);
  std::mt19937_64 rng(7);
  uint64_t target = 0;
  for (int i = 0; i < 4; ++i) target = target << 8 | static_cast<uint8_t>(rng());
  const uint64_t root = BuildPlantedPlot(r, 1, 6).positions[30];
  TestDirectory dir;
  BuildPlantedPlot(r, 1, 6, {{target, root}}).plot.Write(dir / "p.fpt");
  TestingClient client({Dir(dir.Path())}, {.lowPriority = 1});
  client.TestRng.seed(7);
  std::map<std::string, uint64_t> before;
  // Every worker must be asleep first: one still starting up would count a wake-up of its own.
  // On a busy machine niceness-19 threads start slowly; the limit only bounds a hang.
  for (int i = 0; i < 6000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    before = Nice19Wakeups(true);
    if (!before.empty() && before.size() == Nice19Wakeups(false).size()) break;
  }
  client.TestPlotEntry({0, dir / "p.fpt"});
  ASSERT_EQ(client.lines.size(), 2u);
  EXPECT_EQ(client.lines[1].substr(0, 20), "ERROR: Test failed: ");
  // A worker's count grows when it sleeps again, which can come after the test has its answer.
  const auto woken = [&] {
    const std::map<std::string, uint64_t> after = Nice19Wakeups(false);
    return std::ranges::any_of(before, [&](const auto& worker) {
      return after.count(worker.first) != 0 && after.at(worker.first) > worker.second;
    });
  };
  bool seen = woken();
  for (int i = 0; i < 2000 && !seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    seen = woken();
  }
  EXPECT_TRUE(seen);
}

// A sound thinned plot must not fail the test by chance, yet a plot that answers nothing must
// still fail where the scale leaves enough matches to tell. Matches over the test's challenges
// are Poisson; the rate is taken a tenth below the measured 0.87 per challenge at full size.
TEST(PlotTest, ThinnedThresholdsFailSoundPlotsRarely) {
  EXPECT_EQ(PlotTestMinMatches({}), 400u);
  for (uint32_t d = 1; d <= 12; ++d) {
    const uint64_t threshold = PlotTestMinMatches(PlotScale::WithShift(d));
    const double mean = kPlotTestChallenges * 0.78 / static_cast<double>(1u << d);
    double term = std::exp(-mean), below = 0;  // P(X < threshold)
    for (uint64_t x = 0; x < threshold; ++x, term *= mean / static_cast<double>(x)) below += term;
    EXPECT_LT(below, 1e-3) << "d = " << d << ", threshold " << threshold;
    if (d <= 3) {
      EXPECT_GT(threshold, 0u) << d;
    }
  }
}
