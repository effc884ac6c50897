// F1 into 128 buckets: values of x per second, beside the ChaCha8 keystream alone (16 values
// of x per 64-byte block), which bounds it.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/pos_bench_support.h"
#include "chia/chacha8.h"
#include "chia/f1.h"

namespace {

struct Writers {
  explicit Writers(uint64_t n) : arena([](const std::string&) {}), writers(n), pointers(n) {
    for (uint64_t i = 0; i < n; ++i) {
      writers[i].AllocateBuffer(arena);
      pointers[i] = &writers[i];
    }
  }
  MemoryArena arena;
  std::vector<BucketWriter<128>> writers;
  std::vector<BucketWriter<128>*> pointers;
};

void BM_F1Buckets(benchmark::State& state) {
  uint64_t threads = static_cast<uint64_t>(state.range(0));
  BenchPool pool(threads);
  Writers w(threads);
  auto sink = std::make_unique<RingSink<8>>();
  for (auto& writer : w.writers) writer.Bind(sink.get());
  uint8_t plotId[32];
  for (int i = 0; i < 32; ++i) plotId[i] = static_cast<uint8_t>(i * 7 + 1);
  uint8_t key[32];
  MakeF1Key(plotId, key);
  F1Context ctx{key, w.pointers.data()};
  uint8_t chunk = 0;
  for (auto _ : state) {
    double s = pool.Timed(
        [&](uint64_t worker, uint64_t part) { ComputeF1Buckets(ctx, chunk, 256, worker, part); },
        256);
    state.SetIterationTime(s);
    chunk = static_cast<uint8_t>((chunk + 1) & 127);
  }
  for (auto& writer : w.writers) writer.Flush();
  uint64_t xs = state.iterations() * (kF1BlocksPerChunk * 16);
  state.SetItemsProcessed(static_cast<int64_t>(xs));
  state.counters["x_per_s_per_core"] = benchmark::Counter(
      static_cast<double>(xs) / static_cast<double>(threads), benchmark::Counter::kIsRate);
  benchmark::DoNotOptimize(sink->Total());
}

// The keystream alone, reported as values of x (16 per block).
void BM_ChaCha8Keystream(benchmark::State& state) {
  uint64_t threads = static_cast<uint64_t>(state.range(0));
  BenchPool pool(threads);
  uint32_t st[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 1, 2, 3, 4, 5, 6, 7, 8};
  const uint64_t blocksPerPart = 1u << 16;
  std::vector<uint64_t> sinks(threads * 8);
  for (auto _ : state) {
    double s = pool.Timed(
        [&](uint64_t worker, uint64_t part) {
          alignas(64) uint32_t out[32][16];
          uint32_t acc = 0;
          for (uint64_t b = 0; b < blocksPerPart; b += 32) {
            ChaCha8Blocks(st, static_cast<uint32_t>(part * blocksPerPart + b), 32, out[0]);
            acc ^= out[5][3] + out[31][15];
          }
          sinks[worker * 8] += acc;
        },
        threads * 16);
    state.SetIterationTime(s);
  }
  uint64_t xs = state.iterations() * threads * 16 * blocksPerPart * 16;
  state.SetItemsProcessed(static_cast<int64_t>(xs));
  state.counters["x_per_s_per_core"] = benchmark::Counter(
      static_cast<double>(xs) / static_cast<double>(threads), benchmark::Counter::kIsRate);
  benchmark::DoNotOptimize(sinks.data());
}

BENCHMARK(BM_F1Buckets)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_ChaCha8Keystream)->Apply(OneCoreAndAllCores);

}  // namespace
