// f2 .. f7: evaluations per second for each table's function, one core and all cores.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "bench/pos_bench_support.h"
#include "chia/fx.h"
#include "chia/fx_batch.h"

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
  static const Inputs kInputs;
  return kInputs;
}

// `batch(round, f, out)` replaces the per-input loop when given: it evaluates all inputs of one
// round into f.
template <class Fn, class Batch = std::nullptr_t>
void RunFx(benchmark::State& state, Fn fn, Batch batch = nullptr) {
  const Inputs& in = TheInputs();
  uint64_t threads = static_cast<uint64_t>(state.range(0));
  BenchPool pool(threads);
  std::atomic<uint64_t> fold{0};
  const uint64_t parts = threads * 4;
  for (auto _ : state) {
    double s = pool.Timed(
        [&](uint64_t, uint64_t) {
          uint64_t acc = 0;
          alignas(16) uint8_t out[16 * 256] = {};
          for (uint64_t r = 0; r < kRounds; ++r) {
            if constexpr (std::is_same_v<Batch, std::nullptr_t>) {
              for (uint64_t i = 0; i < kInputs; ++i) {
                const uint8_t* m = &in.meta[i * 32];
                acc += fn(m, m + 16, in.y[i] ^ r, out);
              }
            } else {
              std::vector<uint64_t> f(kInputs);
              acc += batch(r, f.data(), out);
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

// The batched functions over the same inputs, 256 at a time as a matching pass would hand them
// over; the argument after the thread count caps the instruction set (0 portable, 1 AVX2,
// 2 AVX-512).
template <class Fn>
void RunFxBatch(benchmark::State& state, Fn fn) {
  auto level = static_cast<SimdLevel>(state.range(1));
  if (!SimdLevelSupported(level)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  RunFx(state, [&](const uint8_t*, const uint8_t*, uint64_t, uint8_t*) { return uint64_t{0}; },
        [&](uint64_t r, uint64_t* f, uint8_t* out) {
          const Inputs& in = TheInputs();
          for (uint64_t i = 0; i < kInputs; i += 256) fn(&in.y[i], &in.meta[i * 32], f + i, out, level);
          return f[r];
        });
}

void BM_F2Batch(benchmark::State& state) {
  RunFxBatch(state, [](const uint64_t* y, const uint8_t* m, uint64_t* f, uint8_t*, SimdLevel l) {
    // x values at 32-byte steps: read them as arrays of u32 by taking every 8th word.
    alignas(64) uint32_t xl[256], xr[256];
    for (int i = 0; i < 256; ++i) {
      std::memcpy(&xl[i], m + 32 * i, 4);
      std::memcpy(&xr[i], m + 32 * i + 16, 4);
    }
    ComputeF2Batch(y, xl, xr, 256, f, l);
  });
}
void BM_F3OrF7Batch(benchmark::State& state) {
  RunFxBatch(state, [](const uint64_t* y, const uint8_t* m, uint64_t* f, uint8_t*, SimdLevel l) {
    Fx3Or7Batch(y, m, m + 16, 32, 256, f, l);
  });
}
void BM_F4Batch(benchmark::State& state) {
  RunFxBatch(state, [](const uint64_t* y, const uint8_t* m, uint64_t* f, uint8_t* o, SimdLevel l) {
    Fx4Batch(y, m, m + 16, 32, 256, f, o, 16, l);
  });
}
void BM_F5Batch(benchmark::State& state) {
  RunFxBatch(state, [](const uint64_t* y, const uint8_t* m, uint64_t* f, uint8_t* o, SimdLevel l) {
    Fx5Batch(y, m, m + 16, 32, 256, f, o, 16, l);
  });
}
void BM_F6Batch(benchmark::State& state) {
  RunFxBatch(state, [](const uint64_t* y, const uint8_t* m, uint64_t* f, uint8_t* o, SimdLevel l) {
    Fx6Batch(y, m, m + 16, 32, 256, f, o, 16, l);
  });
}

void OneCoreAndAllCoresPerLevel(benchmark::internal::Benchmark* b) {
  for (int64_t level : {0, 1, 2}) {
    b->Args({1, level});
    if (BenchCores() > 1) b->Args({static_cast<int64_t>(BenchCores()), level});
  }
  b->ArgNames({"threads", "simd"})->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_F2)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F3OrF7)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F4)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F5)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F6)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_F2Batch)->Apply(OneCoreAndAllCoresPerLevel);
BENCHMARK(BM_F3OrF7Batch)->Apply(OneCoreAndAllCoresPerLevel);
BENCHMARK(BM_F4Batch)->Apply(OneCoreAndAllCoresPerLevel);
BENCHMARK(BM_F5Batch)->Apply(OneCoreAndAllCoresPerLevel);
BENCHMARK(BM_F6Batch)->Apply(OneCoreAndAllCoresPerLevel);

}  // namespace
