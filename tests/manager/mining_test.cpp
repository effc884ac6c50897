#include <gtest/gtest.h>

#include "manager/benchmark.h"
#include "manager/mining_rules.h"
#include "chia/sha256.h"
#include "tests/manager/scan_test_support.h"
#include "tests/prover/planted_plot_support.h"

namespace {

using namespace std::chrono_literals;

// Records what the mining thread asks and hands over; `judge` answers CheckQuality.
struct Recorder final : SignagePointRequest {
  explicit Recorder(const PosRecord& r, int result = 1) : record(r), result(result) {}
  bool PlotChallenge(const uint8_t*, uint8_t out[32]) override {
    std::copy(record.challenge, record.challenge + 32, out);
    return true;
  }
  int CheckQuality(const uint8_t*, const uint8_t*, uint64_t xPair) override {
    std::lock_guard lock(m);
    pairs.push_back(xPair);
    if (result < 0) throw std::runtime_error("judge");
    return result;
  }
  void OnProof(const uint8_t* id, const uint64_t*, const uint8_t* c, uint8_t,
               const uint32_t* proof) override {
    std::lock_guard lock(m);
    std::vector<uint32_t> p(proof, proof + 64);
    for (uint32_t& x : p) x = __builtin_bswap32(x);
    verified.push_back(pos_oracle::VerifyProof(id, c, p.data()) && p == std::vector<uint32_t>(
                           record.proof, record.proof + 64));
    if (onProof) onProof();
  }
  size_t Proofs() {
    std::lock_guard lock(m);
    return verified.size();
  }
  PosRecord record;
  int result;
  std::mutex m;
  std::vector<uint64_t> pairs;
  std::vector<bool> verified;
  std::function<void()> onProof;
};

// A mining Client without directories whose log can be made to fail once on a given text.
class MiningClient : public Client {
 public:
  MiningClient()
      : Client(ScanClient::WithThreads({.ReadThreads = 1, .TestThreadOff = 1}), nullptr, 0,
               [this](const std::string& s) {
                 std::lock_guard lock(m);
                 lines.push_back(s);
                 if (!failOn.empty() && s.find(failOn) != std::string::npos) {
                   failOn.clear();
                   throw std::runtime_error("log failed");
                 }
               },
               {nullptr, nullptr, false}) {
    StartThreads();
  }
  ~MiningClient() override {  // the threads log into this object's members
    { std::lock_guard lock(Mutex); ThreadStop = true; }
    MiningThreadHandle.join();
    ManagerThreadHandle.join();
  }
  void Add(const std::shared_ptr<PlotFile>& plot) {
    std::lock_guard lock(MinedPlotsMutex);
    MinedPlots.push_back(plot);
  }
  std::shared_ptr<PlotFile> Add(const PlantedPlot& planted) {
    planted.plot.Write(dir / std::to_string(files));
    auto plot = OpenPlotFile(*Engine, dir / std::to_string(files++), 0);
    Add(plot);
    return plot;
  }
  // Waits until no signage point is pending; the time it took.
  bool Drained() {
    for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      std::lock_guard lock(MinedPlotsMutex);
      if (PendingSignagePoints.empty()) return true;
    }
    return false;
  }
  std::string Log() {
    std::lock_guard lock(m);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
  std::chrono::nanoseconds DeadlineLeft() {
    std::lock_guard lock(MinedPlotsMutex);
    return PendingSignagePoints.at(0)->Deadline - std::chrono::steady_clock::now();
  }
  TestDirectory dir;
  int files = 0;
  std::mutex m;
  Lines lines;
  std::string failOn;
  using Client::Engine, Client::ProofsRequested;
};

}  // namespace

TEST(Mining, SignagePointsReachVerifiedProofsAndFailuresCostOneJob) {
  const std::vector<PosRecord> records = LoadPosRecords();
  const struct {
    int result;      // the request's answer; -1 throws
    bool failProof;  // OnProof throws
    uint64_t limitMs;
    std::string failLog;  // the log callback throws once on this text
    size_t proofs;
    std::string logged;
  } rows[] = {
      {1, false, 30000, "", 1, ""},
      {2, false, 30000, "", 1, ""},
      {-1, false, 30000, "", 0, "ERROR: 9433FE9F: judge\n"},
      {1, true, 30000, "", 1, "ERROR: 4581644A: proof\n"},
      {-1, false, 30000, "9433FE9F", 0, "ERROR: log failed\n"},
      {1, false, 0, "", 0, "before challenge timeout\n"},
  };
  MiningClient client;
  for (size_t n = 0; n < std::size(rows); ++n) {
    const auto& row = rows[n];
    const PosRecord& r = records.at(n);
    client.Add(BuildPlantedPlot(r, n % 3, 10));
    client.failOn = row.failLog;
    auto request = std::make_shared<Recorder>(r, row.result);
    std::chrono::nanoseconds left{};
    request->onProof = [&] {
      left = client.DeadlineLeft();
      if (row.failProof) throw std::runtime_error("proof");
    };
    client.SubmitSignagePoint(request, row.limitMs);
    ASSERT_TRUE(client.Drained()) << n;
    EXPECT_EQ(request->Proofs(), row.proofs) << n;
    EXPECT_EQ(request->verified, std::vector<bool>(row.proofs, true)) << n;
    if (row.proofs != 0) {
      // The quality judged was the verifier's, and a result of 2 bought 60 s.
      uint8_t quality[32];
      Sha256_32_8(quality, r.challenge, reinterpret_cast<const uint8_t*>(&request->pairs.at(0)));
      EXPECT_EQ(Bytes(quality, 32), pos_oracle::Quality(r.challenge, r.proof));
      EXPECT_NEAR(left / 1.0s, row.result == 2 ? 90 : 30, 5) << n;
    }
    EXPECT_NE(client.Log().find(row.logged), std::string::npos) << n << client.Log();
  }
  EXPECT_EQ(client.ProofsRequested, 3u);
}

// A submission that fails after queuing a scan keeps its record, expired, until the scan is
// back; a plot of another engine makes the queuing fail.
TEST(Mining, AbandonedSubmissionReleasesItsScansAndShutdownIsPrompt) {
  const PosRecord r = LoadPosRecords().at(0);
  const PlantedPlot planted = BuildPlantedPlot(r, 0, 4);
  PlotAccessEngine other{{1, 1, 0, 4, 0, {}}, HeapArena(), {}, {}};
  {
    MiningClient client;
    client.Add(planted);
    TestDirectory dir;
    planted.plot.Write(dir / "foreign");
    client.Add(OpenPlotFile(other, dir / "foreign", 0));
    auto request = std::make_shared<Recorder>(r);
    client.SubmitSignagePoint(request, 30000);
    EXPECT_NE(client.Log().find("ERROR: BCF941D5: 3284DA93"), std::string::npos) << client.Log();
    EXPECT_TRUE(client.Drained());
    EXPECT_TRUE(request->pairs.empty());
    // Many signage points in flight when the Client goes.
    for (int i = 0; i < 50; ++i) client.SubmitSignagePoint(std::make_shared<Recorder>(r), 30000);
  }
}

TEST(Mining, StaleProofRuleSlowProofsAndBenchmarkLines) {
  const struct {
    uint64_t stale, requested;
    bool seenBefore;
    std::string start;  // of the message; "" for none
    bool seenAfter;
  } stale[] = {
      {1, 10, false, "", true},
      {2, 10, true, "WARNING: Proof was not processed in time!", true},
      {5, 1199, false, "WARNING: Too many stale proofs! 5 proofs out of 1199 were", true},
      {5, 1200, true, "WARNING: Proof was not", true},
      {6, 1200, false, "WARNING: Too many stale proofs! 6 proofs", true},
      {9, 2000, true, "WARNING: Proof was not", true},
  };
  for (const auto& row : stale) {
    bool seen = row.seenBefore;
    const std::string message = StaleProofWarning(row.stale, row.requested, seen);
    EXPECT_EQ(message.substr(0, row.start.size()), row.start) << row.stale;
    EXPECT_EQ(message.empty(), row.start.empty()) << row.stale;
    EXPECT_EQ(seen, row.seenAfter);
  }
  EXPECT_EQ(SlowProofWarning("p", 3999999999), "");
  EXPECT_EQ(SlowProofWarning("p", 4000000000),
            "WARNING: Proof preparation from \"p\" took 4000 milliseconds, this should be below 4 "
            "seconds to minimize risk of losing rewards");

  const std::pair<uint64_t, std::string> lines[] = {
      {4000, "50 plots with compression level 3 (4000 milliseconds per proof)"},
      {4001, "plots with compression level 3 can not be used (4001 milliseconds per proof, "
             "exceeded 4 seconds limit)"},
      {1450, "6305 plots with compression level 3 (1450 milliseconds per proof)"},
      {1500, "5750 plots with compression level 3 (1500 milliseconds per proof)"},
      {29, "1000000 plots with compression level 3 (29 milliseconds per proof)"},
      {28, "1000000 plots with compression level 3 (28 milliseconds per proof)"},
  };
  for (const auto& [ms, line] : lines) EXPECT_EQ(BenchmarkLine(3, ms), line);
  EXPECT_EQ(MillisecondsPerProof(1000, 4), 4000u);  // 4 sixteenths of a proof per second
  EXPECT_EQ(MillisecondsPerProof(1001, 16), 1001u);
  EXPECT_EQ(MillisecondsPerProof(0, 16), 0u);
}
