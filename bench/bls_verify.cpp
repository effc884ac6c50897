// One augmented-scheme verification, as the pool handshake performs it over a 40-byte message.
#include <benchmark/benchmark.h>

#include <vector>

#include "chia/bls/aug_scheme_mpl.h"
#include "tests/chia/bls_signer.h"

namespace {

void BM_AugSchemeVerify(benchmark::State& state) {
  const bls::PrivateKey sk = bls::AugSchemeMPL().KeyGen(std::vector<uint8_t>(32, 0x42));
  const bls::G1Element pk = sk.GetG1Element();
  const std::vector<uint8_t> message(40, 0x17);
  const std::vector<uint8_t> signature = blstest::AugSign(sk, message).Serialize();
  for (auto _ : state) {
    // Decoding is part of the cost: the signature arrives as bytes.
    const bool ok = bls::AugSchemeMPL::Verify(pk, message, bls::G2Element::FromBytes(signature));
    if (!ok) state.SkipWithError("signature did not verify");
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_AugSchemeVerify)->Unit(benchmark::kMillisecond);

}  // namespace
