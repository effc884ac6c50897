// Base-field operation costs; every curve operation is built from these.
#include <benchmark/benchmark.h>

#include "chia/bls/fp.h"

namespace {

void BM_FpMul(benchmark::State& state) {
  bls::Fp a = bls::Fp::FromU64(0x123456789abcdefULL).Inverse();
  bls::Fp b = bls::Fp::FromU64(977).Inverse();
  for (auto _ : state) {
    a = a * b;
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FpMul);

void BM_FpAdd(benchmark::State& state) {
  bls::Fp a = bls::Fp::FromU64(0x123456789abcdefULL).Inverse();
  bls::Fp b = bls::Fp::FromU64(977).Inverse();
  for (auto _ : state) {
    a = a + b;
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FpAdd);

void BM_FpInverse(benchmark::State& state) {
  bls::Fp a = bls::Fp::FromU64(0x123456789abcdefULL);
  for (auto _ : state) {
    a = a.Inverse() + bls::Fp::One();
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FpInverse);

}  // namespace
