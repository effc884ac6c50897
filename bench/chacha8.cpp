#include "chia/chacha8.h"

#include <benchmark/benchmark.h>

// One F1 block serves 16 values of x; items are blocks, single thread.
static void BM_ChaCha8Block(benchmark::State& state) {
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  uint32_t chacha[16];
  ChaCha8InitState(chacha, key);
  uint32_t out[16];
  uint32_t counter = 0;
  for (auto _ : state) {
    ChaCha8Block(chacha, counter++, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ChaCha8Block);
