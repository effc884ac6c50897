// Recomputation of one table-3 entry from its four x prefixes, per level, in milliseconds per
// call on one core and on all cores, beside the bare F1 of the same number of x values.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>

#include "bench/pos_bench_support.h"
#include "chia/chacha8.h"
#include "chia/f1.h"
#include "prover/plot_access_engine.h"

namespace {

// A genuine proof's plot id and the four x values of its first leaf, so every call finds it.
constexpr uint8_t kPlotId[32] = {0x3d, 0xe6, 0x4e, 0xa4, 0x6b, 0x57, 0x4e, 0x9f, 0x2e, 0x55, 0xfd,
                                 0xe8, 0x2b, 0x35, 0x0d, 0xb5, 0x94, 0x75, 0x88, 0x64, 0x36, 0x34,
                                 0x02, 0x60, 0x84, 0x67, 0x83, 0x70, 0xb7, 0x8e, 0xde, 0x2d};
constexpr uint32_t kLeaf[4] = {0x383b2c71, 0xe2e3ecc2, 0xf6528957, 0x1919fa77};

void Levels(benchmark::internal::Benchmark* b) {
  for (int64_t level = 0; level <= 4; ++level) {
    b->Args({level, 1});
    if (BenchCores() > 1) b->Args({level, static_cast<int64_t>(BenchCores())});
  }
  b->UseManualTime()->Unit(benchmark::kMillisecond);
}

void BM_RecomputeFromPrefixes(benchmark::State& state) {
  const auto level = static_cast<uint8_t>(state.range(0));
  MemoryArena arena([](const std::string&) {});
  PlotAccessEngine engine({static_cast<uint64_t>(state.range(1)), 1, 0, 4, 0, {}}, arena, {}, {});
  uint32_t prefixes[4];
  for (int i = 0; i < 4; ++i) prefixes[i] = kLeaf[i] >> (16 + level);
  uint8_t results[8][16];
  uint64_t y[8];
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t found =
        RecomputeFromPrefixes(engine, kPlotId, level, prefixes, results, 8, y, 8, false);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (found == 0) state.SkipWithError("the genuine leaf was not found");
  }
}
BENCHMARK(BM_RecomputeFromPrefixes)->Apply(Levels);

// F1 alone over the same x values: 4 prefixes of 2^(16 + level) values, in 128 parts.
void BM_F1SameValues(benchmark::State& state) {
  const auto level = static_cast<uint32_t>(state.range(0));
  BenchPool pool(static_cast<uint64_t>(state.range(1)));
  uint8_t key[32];
  uint32_t chacha[16];
  MakeF1Key(kPlotId, key);
  MakeF1State(key, chacha);
  std::atomic<uint64_t> sink{0};
  const uint64_t blocksPerPart = (uint64_t{4} << (12 + level)) / 128;
  for (auto _ : state) {
    state.SetIterationTime(pool.Timed(
        [&](uint64_t, uint64_t part) {
          alignas(64) uint32_t blocks[32][16];
          uint64_t acc = 0;
          for (uint64_t n = part * blocksPerPart; n < (part + 1) * blocksPerPart; n += 32) {
            ChaCha8Blocks(chacha, static_cast<uint32_t>(n), 32, blocks[0]);
            for (uint32_t k = 0; k < 32; ++k) {
              for (uint32_t j = 0; j < 16; ++j) {
                acc ^= F1FromWord(blocks[k][j], static_cast<uint32_t>((n + k) << 4 | j));
              }
            }
          }
          sink.fetch_xor(acc);
        },
        128));
  }
  benchmark::DoNotOptimize(sink.load());
}
BENCHMARK(BM_F1SameValues)->Apply(Levels);

}  // namespace
