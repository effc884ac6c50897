// The mining road on planted plots: many plots, signage points submitted back to back so that
// their work overlaps, and for each the time from submission to the request's quality check and
// to its proof (median and 99th percentile over all of them). Then the start-up benchmark's
// milliseconds per proof and plot count at each level on this machine. Plot blocks come from the
// page cache.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "bench/pos_bench_support.h"
#include "manager/benchmark.h"
#include "manager/client.h"
#include "manager/test_challenges.h"
#include "plotter/combination_tables.h"
#include "tests/prover/planted_plot_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Times one signage point: every plot is searched with the challenge of one of them.
struct TimedRequest final : SignagePointRequest {
  bool PlotChallenge(const uint8_t*, uint8_t out[32]) override {
    std::copy(challenge, challenge + 32, out);
    return true;
  }
  int CheckQuality(const uint8_t*, const uint8_t*, uint64_t) override {
    if (quality == Clock::time_point{}) quality = Clock::now();
    return 1;
  }
  void OnProof(const uint8_t*, const uint64_t*, const uint8_t*, uint8_t, const uint32_t*) override {
    proof = Clock::now();
  }
  uint8_t challenge[32];
  Clock::time_point submitted, quality, proof;
};

class BenchClient : public Client {
 public:
  explicit BenchClient(ClientConfig config)
      : Client(config, nullptr, 0, [this](const std::string& s) { Collect(s); },
               {nullptr, nullptr, false}) {}
  void Start() { StartThreads(); }
  ~BenchClient() override {
    {
      std::lock_guard lock(Mutex);
      ThreadStop = true;
    }
    if (miningThreadHandle_.joinable()) miningThreadHandle_.join();
    if (managerThreadHandle_.joinable()) managerThreadHandle_.join();
  }
  void Collect(const std::string& s) {
    std::lock_guard lock(m);
    lines.push_back(s);
  }
  void Add(const std::filesystem::path& path) {
    auto plot = OpenPlotFile(*Engine, path, 0);
    std::lock_guard lock(MinedPlotsMutex);
    MinedPlots.push_back(plot);
  }
  bool Idle() {
    std::lock_guard lock(MinedPlotsMutex);
    return PendingSignagePoints.empty();
  }
  std::mutex m;
  std::vector<std::string> lines;
};

ClientConfig Config() {
  ClientConfig config;
  config.plottingThreads = 1;
  config.miningThreads = static_cast<uint32_t>(BenchCores());
  config.readThreads = 2;
  config.testThreadOff = 1;
  return config;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// range(0) plots, range(1) signage points per round.
void BM_SubmissionToProof(benchmark::State& state) {
  const auto plots = static_cast<size_t>(state.range(0));
  const auto points = static_cast<size_t>(state.range(1));
  const std::vector<PosRecord> records = LoadPosRecords();
  TestDirectory dir;
  BenchClient client(Config());
  client.Start();
  for (size_t i = 0; i < plots; ++i) {
    BuildPlantedPlot(records[i % records.size()], i % 3, 50).plot.Write(dir / std::to_string(i));
    client.Add(dir / std::to_string(i));
  }
  std::vector<double> toQuality, toProof;
  for (auto _ : state) {
    std::vector<std::shared_ptr<TimedRequest>> requests;
    for (size_t n = 0; n < points; ++n) {
      auto request = std::make_shared<TimedRequest>();
      const PosRecord& r = records[(n * 7) % std::min(plots, records.size())];
      std::copy(r.challenge, r.challenge + 32, request->challenge);
      request->submitted = Clock::now();
      client.SubmitSignagePoint(request, 30000);
      requests.push_back(request);
    }
    while (!client.Idle()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    for (const auto& request : requests) {
      if (request->proof == Clock::time_point{}) continue;
      toQuality.push_back((request->quality - request->submitted) /
                          std::chrono::duration<double, std::milli>(1));
      toProof.push_back((request->proof - request->submitted) /
                        std::chrono::duration<double, std::milli>(1));
    }
  }
  if (toProof.empty()) return state.SkipWithError("no proof found");
  state.counters["quality_p50_ms"] = Percentile(toQuality, 0.5);
  state.counters["quality_p99_ms"] = Percentile(toQuality, 0.99);
  state.counters["proof_p50_ms"] = Percentile(toProof, 0.5);
  state.counters["proof_p99_ms"] = Percentile(toProof, 0.99);
  state.counters["proofs"] = static_cast<double>(toProof.size());
}
BENCHMARK(BM_SubmissionToProof)->Args({64, 8})->Args({256, 32})->Unit(benchmark::kMillisecond);

// The start-up benchmark's measurement per level (range(0) = level index), over the test
// challenges that give a recomputation result for its plot id, and the plot count it reports.
void BM_BenchmarkLevel(benchmark::State& state) {
  const auto level = static_cast<uint8_t>(state.range(0));
  static const uint8_t kPlotId[32] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                      0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                      0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                      0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  MemoryArena arena([](const std::string&) {});
  PlotAccessEngine engine({BenchCores(), 1, 0, 4, 0, {}}, arena, {}, {});
  uint64_t n = 0;
  const auto start = Clock::now();
  for (auto _ : state) {
    const Combination4 q = DecodeCombination4(TestChallenges[n++ % 4]);
    const uint32_t prefixes[4] = {q.a >> level, q.b >> level, q.c >> level, q.d >> level};
    uint8_t results[8][16];
    uint64_t y[8];
    if (RecomputeFromPrefixes(engine, kPlotId, level, prefixes, results, 8, y, 8, false) == 0) {
      return state.SkipWithError("A9C03B90");
    }
  }
  const double elapsedMs = (Clock::now() - start) / std::chrono::duration<double, std::milli>(1);
  const uint64_t msPerProof = MillisecondsPerProof(static_cast<uint64_t>(elapsedMs), n);
  state.counters["ms_per_proof"] = static_cast<double>(msPerProof);
  state.counters["plots"] = static_cast<double>(MiningCapacity(msPerProof));
}
BENCHMARK(BM_BenchmarkLevel)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

}  // namespace
