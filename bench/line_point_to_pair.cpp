// Line points back to position pairs, as the finalization's decode workers turn every entry of a
// table: ascending line points of random pairs below 2^shift. Items are line points.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "plotter/finalize_job.h"

namespace {

std::vector<uint64_t> SortedLinePoints(uint64_t shift) {
  std::mt19937_64 random(7);
  std::vector<uint64_t> linePoints(1 << 20);
  for (uint64_t& point : linePoints) {
    const uint64_t a = random() >> (64 - shift);
    const uint64_t b = random() >> (64 - shift);
    point = PairLinePoint(a, b == a ? a + 1 : b);
  }
  std::sort(linePoints.begin(), linePoints.end());
  return linePoints;
}

void BM_LinePointToPair(benchmark::State& state) {
  const uint64_t shift = static_cast<uint64_t>(state.range(0));
  const std::vector<uint64_t> linePoints = SortedLinePoints(shift);
  std::vector<FinalizePipeline::Pair> pairs(linePoints.size());
  for (auto _ : state) {
    for (size_t i = 0; i < linePoints.size(); ++i) pairs[i] = LinePointToPair(linePoints[i]);
    benchmark::DoNotOptimize(pairs.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * linePoints.size()));
}

// The same points four at a time, into the memory they came from, as the decode workers do.
void BM_LinePointsToPairs(benchmark::State& state) {
  const uint64_t shift = static_cast<uint64_t>(state.range(0));
  const std::vector<uint64_t> linePoints = SortedLinePoints(shift);
  std::vector<uint64_t> memory(linePoints.size());
  for (auto _ : state) {
    state.PauseTiming();
    memory = linePoints;
    state.ResumeTiming();
    LinePointsToPairs(memory.data(), memory.size(),
                      reinterpret_cast<FinalizePipeline::Pair*>(memory.data()));
    benchmark::DoNotOptimize(memory.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * linePoints.size()));
}

}  // namespace

BENCHMARK(BM_LinePointToPair)->Arg(32)->Arg(28)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LinePointsToPairs)->Arg(32)->Arg(28)->Unit(benchmark::kMicrosecond);
