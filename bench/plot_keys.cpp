// Cost of a public key from a secret (per share and per plot check) and of a plot's key set.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "chia/bls/bls_init.h"
#include "chia/bls/private_key.h"
#include "chia/plot_keys.h"

namespace {

void BM_GetG1Element(benchmark::State& state) {
  bls::BLS::Init();
  std::array<uint8_t, 32> bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x3c + 7 * i);
  bytes[0] &= 0x3f;
  bls::PrivateKey key = bls::PrivateKey::FromBytes(bytes);
  for (auto _ : state) {
    bls::G1Element pk = key.GetG1Element();
    benchmark::DoNotOptimize(pk);
  }
}
BENCHMARK(BM_GetG1Element);

void BM_GetG1ElementSerialized(benchmark::State& state) {
  bls::BLS::Init();
  std::array<uint8_t, 32> bytes{};
  bytes[31] = 5;
  bls::PrivateKey key = bls::PrivateKey::FromBytes(bytes);
  uint8_t out[48];
  for (auto _ : state) {
    key.GetG1Element().Serialize(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_GetG1ElementSerialized);

void BM_CreatePlotKeys(benchmark::State& state) {
  bls::BLS::Init();
  (void)GetFixedG1Constant();
  std::array<uint8_t, 32> seed{};
  std::array<uint8_t, 32> id, a, b;
  std::array<uint8_t, 48> pkb;
  uint32_t counter = 0;
  for (auto _ : state) {
    seed[0] = static_cast<uint8_t>(counter);
    seed[1] = static_cast<uint8_t>(counter >> 8);
    ++counter;
    CreatePlotKeys(id.data(), seed.data(), a.data(), b.data(), pkb.data(), nullptr);
    benchmark::DoNotOptimize(id);
  }
}
BENCHMARK(BM_CreatePlotKeys);

void BM_CheckPlotPublicKey(benchmark::State& state) {
  std::array<uint8_t, 32> seed{};
  std::array<uint8_t, 32> id, a, b;
  std::array<uint8_t, 48> pkb;
  CreatePlotKeys(id.data(), seed.data(), a.data(), b.data(), pkb.data(), nullptr);
  for (auto _ : state) {
    bool ok = CheckPlotPublicKey(b.data(), pkb.data()) &&
              ComputePlotPublicKey(id.data(), a.data(), pkb.data(), nullptr);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_CheckPlotPublicKey);

}  // namespace
