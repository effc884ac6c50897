// Latency of one proof lookup on a planted plot per compression level: the challenge scan, the
// quality job, and the full proof from scratch and from a finished quality job's state. Each
// job's wall time is the figure; counters split it into read, recompute and tree time (summed
// over steps, so reads that overlap may add up to more than the wall time) and count the
// leaves recomputed. Plot blocks come from the page cache. Planted tables are tiny, so every
// node's order is settled from its leaves; "quality, far apart" plants the children a real
// plot's table sizes put far apart, where the line points settle the order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "bench/pos_bench_support.h"
#include "prover/challenge_scan_job.h"
#include "prover/full_proof_job.h"
#include "prover/level_thresholds.h"
#include "prover/plot_access_engine.h"
#include "prover/quality_job.h"
#include "tests/prover/planted_plot_support.h"

namespace {

enum Lookup { kScan, kQuality, kFullProof, kFullFromQuality, kQualityFarApart };

struct LatencyFixture {
  LatencyFixture(uint8_t level, bool farApart)
      : record(LoadPosRecords().at(0)),
        planted(BuildPlantedPlot(record, level, 200, {}, farApart ? FarApart() : nullptr)),
        arena([](const std::string&) {}),
        engine({BenchCores(), 1, 0, 4, 0, {}}, arena, {}, {}) {
    planted.plot.Write(dir.Path() / "plot");
    file = OpenPlotFile(engine, dir.Path() / "plot", 0);
  }
  // Moves the child holding the larger x of each sibling pair past its parent's threshold.
  std::function<uint64_t(int)> FarApart() const {
    return [this](int v) -> uint64_t {
      return v < 30 && Largest(v) > Largest(v ^ 1) ? LevelThresholds[ProofTree::NodeTable(v)] : 0;
    };
  }
  uint32_t Largest(int v) const {
    return v < 16 ? *std::max_element(record.proof + 4 * v, record.proof + 4 * v + 4)
                  : std::max(Largest(2 * v - 32), Largest(2 * v - 31));
  }

  TestDirectory dir;
  PosRecord record;
  PlantedPlot planted;
  MemoryArena arena;
  PlotAccessEngine engine;
  std::shared_ptr<PlotFile> file;
};

void Report(benchmark::State& state, const ProofTreeJob& job) {
  state.counters["read_ms"] = static_cast<double>(job.ReadNanoseconds()) / 1e6;
  state.counters["recompute_ms"] = static_cast<double>(job.RecomputeNanoseconds()) / 1e6;
  state.counters["tree_ms"] = static_cast<double>(job.TreeNanoseconds()) / 1e6;
  state.counters["leaves"] = static_cast<double>(job.LeavesRecomputed());
}

void BM_ProofLatency(benchmark::State& state) {
  const auto level = static_cast<uint8_t>(state.range(0));
  const auto lookup = static_cast<Lookup>(state.range(1));
  LatencyFixture f(level, lookup == kQualityFarApart);
  uint8_t challenge[32];
  std::copy(f.record.challenge, f.record.challenge + 32, challenge);
  if (lookup == kQualityFarApart) challenge[31] &= 0xE1;  // the path of the near children
  const uint64_t root = f.planted.positions[30];
  for (auto _ : state) {
    std::shared_ptr<QualityJob> quality;
    if (lookup == kFullFromQuality) {
      quality = f.engine.QueueJob<QualityJob>(f.file.get(), 0, nullptr, nullptr, root, challenge);
      quality->Wait();
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::shared_ptr<PlotJob> job;
    switch (lookup) {
      case kScan:
        job = f.engine.QueueChallengeScan(f.file.get(), challenge, 0, nullptr, nullptr);
        break;
      case kQuality:
      case kQualityFarApart:
        job = f.engine.QueueJob<QualityJob>(f.file.get(), 0, nullptr, nullptr, root, challenge);
        break;
      default:
        job = f.engine.QueueFullProof(f.file.get(), root, challenge, 0, nullptr, nullptr,
                                      quality.get(), 0);
    }
    job->Wait();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (lookup != kScan) Report(state, static_cast<ProofTreeJob&>(*job));
  }
  static const char* const kNames[] = {"scan", "quality", "full proof", "full from quality",
                                       "quality, far apart"};
  state.SetLabel(kNames[lookup]);
}
BENCHMARK(BM_ProofLatency)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {kScan, kQuality, kFullProof, kFullFromQuality, kQualityFarApart}})
    ->UseManualTime()
    ->Iterations(3)  // a quality job before each full proof from its state is not timed
    ->Unit(benchmark::kMillisecond);

}  // namespace
