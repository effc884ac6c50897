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

void BM_FpSquare(benchmark::State& state) {
  bls::Fp a = bls::Fp::FromU64(0x123456789abcdefULL).Inverse();
  for (auto _ : state) {
    a = a.Square();
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FpSquare);

// A 64-bit exponent: 64 squarings and at most 16 multiplications.
void BM_FpPowSmall(benchmark::State& state) {
  bls::Fp a = bls::Fp::FromU64(0x123456789abcdefULL).Inverse();
  const uint64_t e[1] = {0xffffffffffffffffULL};
  for (auto _ : state) {
    a = a.Pow(e);
    benchmark::DoNotOptimize(a);
  }
}
BENCHMARK(BM_FpPowSmall);

}  // namespace
