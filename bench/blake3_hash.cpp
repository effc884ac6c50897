#include "chia/blake3_hash.h"

#include <benchmark/benchmark.h>

// Fx inputs are 21 (tables 3 and 7), 29 (table 6) and 37 (tables 4 and 5) bytes.
static void BM_Blake3Hash(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  uint8_t input[64];
  for (int i = 0; i < 64; ++i) input[i] = static_cast<uint8_t>(i * 13 + 5);
  uint8_t out[32];
  for (auto _ : state) {
    Blake3Hash(input, length, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
    input[0] = out[0];  // vary the input so no call can be hoisted
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Blake3Hash)->Arg(21)->Arg(29)->Arg(37);
