#include <gtest/gtest.h>

#include "chia/sha256.h"
#include "manager/benchmark.h"
#include "manager/mining_rules.h"
#include "prover/quality_job.h"
#include "tests/manager/scan_test_support.h"
#include "tests/prover/planted_plot_support.h"

namespace {

using namespace std::chrono_literals;

// Searches every plot with the record's challenge and answers each quality with `result`
// (-1 throws; 3 also fails OnProof). Called on the mining thread only; read once the signage point
// is gone.
struct Recorder final : SignagePointRequest {
  Recorder(const PosRecord& r, int result = 1) : record(r), result(result) {}
  bool PlotChallenge(const uint8_t*, uint8_t out[32]) override {
    std::copy(record.challenge, record.challenge + 32, out);
    return true;
  }
  int CheckQuality(const uint8_t*, const uint8_t*, uint64_t xPair) override {
    if (onCheck) onCheck();
    pairs.push_back(xPair);
    return result >= 0 ? result : throw std::runtime_error("judge");
  }
  void OnProof(const uint8_t* id, const uint64_t*, const uint8_t* c, uint8_t,
               const uint32_t* proof) override {
    std::vector<uint32_t> p(proof, proof + 64);
    for (uint32_t& x : p) x = __builtin_bswap32(x);
    verified.push_back(pos_oracle::VerifyProof(id, c, p.data()));
    if (onProof) onProof();
    if (result == 3) throw std::runtime_error("proof");
  }
  PosRecord record;
  int result;
  std::vector<uint64_t> pairs;
  std::vector<bool> verified;
  std::function<void()> onCheck, onProof;
};

// The log of a mining Client; a base before the Client, so that it outlives the threads.
struct MiningLog {
  std::mutex m;
  std::string log, failOn;  // the log fails once on a line with failOn
};

class MiningClient : public MiningLog, public Client {
 public:
  MiningClient()
      : Client({.plottingThreads = 1, .miningThreads = 1, .readThreads = 1, .testThreadOff = 1},
               nullptr, 0,
               [this](const std::string& s) {
                 std::lock_guard lock(m);
                 log += s + "\n";
                 if (!failOn.empty() && s.find(failOn) != std::string::npos) {
                   failOn.clear();
                   throw std::runtime_error("log failed");
                 }
               },
               {nullptr, nullptr, false}) {
    StartThreads();
  }
  // Mines the plot, opened by `engine` (the Client's when null).
  void Add(const PlantedPlot& planted, PlotAccessEngine* engine = nullptr) {
    const fs::path path = dir / std::to_string(MinedPlots.size());  // only this thread adds
    planted.plot.Write(path);
    auto plot = OpenPlotFile(engine ? *engine : *Engine, path, 0);
    std::lock_guard lock(MinedPlotsMutex);
    MinedPlots.push_back(plot);
  }
  // The limit only bounds a hang: a slow or busy machine takes as long as it needs.
  bool Drained() {
    for (auto end = std::chrono::steady_clock::now() + 240s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      std::lock_guard lock(MinedPlotsMutex);
      if (PendingSignagePoints.empty()) return true;
    }
    return false;
  }
  std::string Log() {
    std::lock_guard lock(m);
    return log;
  }
  void FailLogOn(const std::string& text) {
    std::lock_guard lock(m);
    failOn = text;
  }
  std::chrono::steady_clock::time_point Deadline() {
    std::lock_guard lock(MinedPlotsMutex);
    return PendingSignagePoints.at(0)->Deadline;
  }
  TestDirectory dir;
  using Client::Engine, Client::jobListFault_, Client::MinedPlots, Client::MinedPlotsMutex,
      Client::PendingSignagePoints, Client::ProofsRequested;
};

}  // namespace

TEST(Mining, SignagePointsReachVerifiedProofsAndFailuresCostOneJob) {
  const std::vector<PosRecord> records = LoadPosRecords();
  // An hour never runs out, however slow the machine.
  const uint64_t kHour = 3600000;
  // (the request's answer: -1 throws, 3 is 1 with a failing OnProof; time limit; the log
  // fails once on; logged)
  const std::tuple<int, uint64_t, std::string, std::string> rows[] = {
      {1, kHour, "", ""},
      {2, kHour, "", ""},
      {-1, kHour, "", "ERROR: 9433FE9F: judge\n"},
      {3, kHour, "", "ERROR: 4581644A: proof\n"},
      {-1, kHour, "9433FE9F", "ERROR: log failed\n"},
      {1, 0, "", "before challenge timeout\n"}};
  MiningClient client;
  for (size_t n = 0; n < std::size(rows); ++n) {
    const auto& [result, limitMs, failLog, logged] = rows[n];
    const PosRecord& r = records.at(n);
    client.Add(BuildPlantedPlot(r, n % 3, 10));
    client.FailLogOn(failLog);
    auto request = std::make_shared<Recorder>(r, result);
    std::chrono::steady_clock::time_point deadline{};
    request->onProof = [&] { deadline = client.Deadline(); };
    const auto before = std::chrono::steady_clock::now();
    client.SubmitSignagePoint(request, limitMs);
    const auto after = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Drained()) << n;
    const bool proved = result > 0 && limitMs > 0;
    EXPECT_EQ(request->verified, std::vector<bool>(proved, true)) << n;
    if (proved) {
      // The quality judged was the verifier's, and a result of 2 bought 60 s.
      uint8_t quality[32];
      Sha256_32_8(quality, r.challenge, reinterpret_cast<const uint8_t*>(&request->pairs.at(0)));
      EXPECT_EQ(Bytes(quality, 32), pos_oracle::Quality(r.challenge, r.proof));
      // The deadline is set from the clock read during the submission.
      const auto limit = std::chrono::milliseconds(limitMs) + (result == 2 ? 60s : 0s);
      EXPECT_TRUE(deadline >= before + limit && deadline <= after + limit) << n;
    }
    EXPECT_NE(client.Log().find(logged), std::string::npos) << n << client.Log();
  }
  EXPECT_EQ(client.ProofsRequested, 3u);
}

// A submission that fails after queuing a scan keeps its record, expired, until the scan is
// back; a plot of another engine makes the queuing fail.
TEST(Mining, AbandonedSubmissionReleasesItsScansAndShutdownIsPrompt) {
  const PosRecord r = LoadPosRecords().at(0);
  const PlantedPlot planted = BuildPlantedPlot(r, 0, 4);
  PlotAccessEngine other{{1, 1, 0, 4, 0, {}}, HeapArena(), {}, {}};
  MiningClient client;
  client.Add(planted);
  client.Add(planted, &other);
  auto request = std::make_shared<Recorder>(r);
  client.SubmitSignagePoint(request, 30000);
  EXPECT_NE(client.Log().find("ERROR: BCF941D5: 3284DA93"), std::string::npos) << client.Log();
  EXPECT_TRUE(client.Drained());
  EXPECT_TRUE(request->pairs.empty());
  // Many signage points still in flight when the Client goes.
  for (int i = 0; i < 50; ++i) client.SubmitSignagePoint(std::make_shared<Recorder>(r), 30000);
}

// A job list that cannot grow leaves its job unqueued, so that none comes back to a record that
// does not list it (which may be gone by then).
TEST(Mining, JobListThatCannotGrowQueuesNothing) {
  const PosRecord r = LoadPosRecords().at(0);
  // (the growth that fails: 1 for the scan's qualities, 2 for the full proof; logged)
  const std::pair<int, std::string> rows[] = {{1, "ERROR: std::bad_alloc\n"},
                                              {2, "ERROR: B67EDEE2: std::bad_alloc\n"}};
  for (const auto& [failing, logged] : rows) {
    MiningClient client;
    client.Add(BuildPlantedPlot(r, 0, 4));
    int growths = 0;
    client.jobListFault_ = [&, failing = failing] {
      if (++growths == failing) throw std::bad_alloc();
    };
    client.SubmitSignagePoint(std::make_shared<Recorder>(r), 30000);
    ASSERT_TRUE(client.Drained());
    // A stray job would be back by now.
    for (int i = 0; i < 50 && client.Log().find("F4E56C40") == std::string::npos; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    const std::string log = client.Log();
    EXPECT_NE(log.find(logged), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), log.rfind("ERROR")) << log;
  }
}

// Proof preparation counts recomputation only: a full proof whose reads wait 4 s for the plot's
// stream raises no slow-proof warning. The hold must land between the full proof's start and its
// reads, which a loaded machine can miss; a miss is tried again with a new signage point.
TEST(Mining, SlowReadsAreNoSlowProofPreparation) {
  const PosRecord r = LoadPosRecords().at(0);
  MiningClient client;
  client.Engine->Owner().privateStreams = 0;  // reads share the plot's stream and its mutex
  client.Add(BuildPlantedPlot(r, 0, 4));
  PlotFile& plot = *client.MinedPlots[0];
  std::atomic<bool> held{false};
  for (int attempt = 0; attempt < 20 && !held; ++attempt) {
    std::thread holder;
    std::atomic<bool> looking{false}, drained{false};
    auto request = std::make_shared<Recorder>(r);
    request->onCheck = [&] {
      if (holder.joinable()) return;
      {
        // The quality leaves every other node to the full proof, as one that fell back would.
        std::lock_guard lock(client.MinedPlotsMutex);
        auto& quality = static_cast<QualityJob&>(*client.PendingSignagePoints.at(0)->Jobs.at(0));
        std::lock_guard engineLock(client.Engine->Mutex());
        ProofTreeData& d = quality.Tree().data;
        for (uint32_t node = 1; node < kProofRoot; node += 2) {
          d.values[node] = ~uint64_t{0};
          if (node < 16) d.candidateCounts[node] = 0;
        }
      }
      // Once the full proof stands beside its quality, the stream is held for 4.1 s.
      holder = std::thread([&] {
        while (!drained) {
          std::unique_lock lock(plot.mutex);
          looking = true;
          if (plot.liveJobCount >= 2) {
            held = true;
            return std::this_thread::sleep_for(4100ms);
          }
          lock.unlock();
          std::this_thread::yield();
        }
      });
      while (!looking) std::this_thread::yield();
    };
    client.SubmitSignagePoint(request, 30000);
    const bool done = client.Drained();
    drained = true;
    if (holder.joinable()) holder.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(request->verified, std::vector<bool>{true});
  }
  EXPECT_TRUE(held);
  EXPECT_EQ(client.Log().find("Proof preparation"), std::string::npos) << client.Log();
}

TEST(Mining, StaleProofRuleSlowProofsAndBenchmarkFigures) {
  const std::tuple<uint64_t, uint64_t, bool, std::string> stale[] = {
      {1, 10, false, ""},  // the first is silent
      {2, 10, true, "WARNING: Proof was not processed in time! Close other"},
      {5, 1199, true, "WARNING: Too many stale proofs! 5 proofs out of 1199 were not"},
      {5, 1200, true, "WARNING: Proof was not"},
      {6, 1200, false, "WARNING: Too many stale proofs! 6 proofs"}};
  for (auto [count, requested, seen, start] : stale) {
    const std::string message = StaleProofWarning(count, requested, seen);
    EXPECT_EQ(message.substr(0, start.empty() ? 1 : start.size()), start) << count;
    EXPECT_TRUE(seen);
  }
  EXPECT_EQ(SlowProofWarning("p", 3999999999), "");
  EXPECT_EQ(SlowProofWarning("p", 4000000000).substr(0, 51),
            "WARNING: Proof preparation from \"p\" took 4000 milli");

  EXPECT_EQ(BenchmarkLine(5, 4001),
            "plots with compression level 5 can not be used (4001 "
            "milliseconds per proof, exceeded 4 seconds limit)");
  const std::pair<uint64_t, uint64_t> counts[] = {{1450, 6305},  {1500, 5750},  {2000, 2500},
                                                  {29, 1000000}, {28, 1000000}, {1, 1000000}};
  for (const auto& [ms, plots] : counts) EXPECT_EQ(MiningCapacity(ms), plots) << ms;
}

// Each reading of the injected steady clock is 250 ms on: four recomputations per level make
// 4000 ms per proof. A cancel request stops before the first level line.
TEST(Mining, BenchmarkOnASteppedClock) {
  struct Stepped : MiningLog, Client {
    Stepped()
        : Client({.plottingThreads = 1,
                  .miningThreads = 1,
                  .runBenchmark = 1,
                  .miningOff = 1,
                  .testThreadOff = 1},
                 nullptr, 0, [this](const std::string& s) { log += s + "\n"; },
                 {nullptr, nullptr, false}) {}
    std::chrono::steady_clock::time_point Now() const override {
      return std::chrono::steady_clock::time_point{} + 125ms * ++readings;
    }
    mutable int readings = 0;
    using Client::RunBenchmark, Client::CancelRequest;
  } client;
  client.RunBenchmark();
  std::string expected = "Starting benchmark\nThis PC is capable to mine on:\n";
  for (int level = 1; level <= 5; ++level) {
    // Eight challenges per level: the cycle passes the end of the recomputable ones.
    expected += std::string(level > 1 ? "or\n" : "") + "2500 plots with compression level " +
                std::to_string(level) + " (2000 milliseconds per proof)\n";
  }
  EXPECT_EQ(client.log, expected + "Benchmark ended\n");
  client.log.clear();
  client.CancelRequest = true;
  client.RunBenchmark();
  EXPECT_EQ(client.log, "Starting benchmark\nThis PC is capable to mine on:\n");
}
