// f2 .. f7: evaluations per second for each table's function, one core and all cores.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <random>
#include <vector>

#include "bench/pos_bench_support.h"
#include "chia/fx.h"

namespace {

constexpr uint64_t kInputs = 4096;
constexpr uint64_t kRounds = 16;  // passes over the inputs per part

struct Inputs {
  Inputs() : meta(kInputs * 32), y(kInputs) {
    std::mt19937_64 rng(99);
    for (auto& b : meta) b = static_cast<uint8_t>(rng());
    for (auto& v : y) v = rng() >> 26;
  }
  std::vector<uint8_t> meta;  // 32 bytes per input: left and right metadata of up to 16 each
  std::vector<uint64_t> y;
};

const Inputs& TheInputs() {
  static const Inputs inputs;
  return inputs;
}

template <class Fn>
void RunFx(benchmark::State& state, Fn fn) {
  const Inputs& in = TheInputs();
  uint64_t threads = static_cast<uint64_t>(state.range(0));
  BenchPool pool(threads);
  std::atomic<uint64_t> fold{0};
  const uint64_t parts = threads * 4;
  for (auto _ : state) {
    double s = pool.Timed(
        [&](uint64_t, uint64_t) {
          uint64_t acc = 0;
          alignas(16) uint8_t out[16] = {};
          for (uint64_t r = 0; r < kRounds; ++r) {
            for (uint64_t i = 0; i < kInputs; ++i) {
              const uint8_t* m = &in.meta[i * 32];
              acc += fn(m, m + 16, in.y[i] ^ r, out);
            }
          }
          fold += acc + out[3];
        },
        parts);
    state.SetIterationTime(s);
  }
  double total = static_cast<double>(state.iterations() * parts * kRounds * kInputs);
  state.SetItemsProcessed(static_cast<int64_t>(total));
  state.counters["per_s_per_core"] =
      benchmark::Counter(total / static_cast<double>(threads), benchmark::Counter::kIsRate);
  benchmark::DoNotOptimize(fold.load());
}

void BM_F2(benchmark::State& state) {
  RunFx(state, [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t*) {
    uint32_t a, b;
    std::memcpy(&a, l, 4);
    std::memcpy(&b, r, 4);
    return ComputeF2(y, a, b);
  });
}
void BM_F3OrF7(benchmark::State& state) {
  RunFx(state,
        [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t*) { return Fx3Or7(l, r, y); });
}
void BM_F4(benchmark::State& state) {
  RunFx(state,
        [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* o) { return Fx4(l, r, y, o); });
}
void BM_F5(benchmark::State& state) {
  RunFx(state,
        [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* o) { return Fx5(l, r, y, o); });
}
void BM_F6(benchmark::State& state) {
  RunFx(state,
        [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* o) { return Fx6(l, r, y, o); });
}

BENCHMARK(BM_F2)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F3OrF7)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F4)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F5)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F6)->Apply(OneCoreAndAllCores);

}  // namespace
