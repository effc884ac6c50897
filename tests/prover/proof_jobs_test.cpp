#include <gtest/gtest.h>

#include "chia/sha256.h"
#include "prover/full_proof_job.h"
#include "prover/plot_access_engine.h"
#include "prover/proof_order.h"
#include "prover/quality_job.h"
#include "runtime/level_thresholds.h"
#include "tests/prover/planted_plot_support.h"
#include "tests/thrown_text.h"

namespace {

// One engine for many planted plots, each opened from its own file.
struct Rig {
  TestDirectory dir;
  PlotAccessEngine engine{{2, 2, 0, 4, 0, {}}, HeapArena(), {}, {}};
  int files = 0;

  std::shared_ptr<PlotFile> Open(const PlantedPlot& planted, uint64_t directory = 0) {
    const auto path = dir.Path() / std::to_string(files++);
    planted.plot.Write(path);
    return OpenPlotFile(engine, path, directory);
  }
  std::shared_ptr<QualityJob> Quality(PlotFile& f, uint64_t root, const uint8_t* challenge) {
    return engine.QueueJob<QualityJob>(&f, 0, nullptr, nullptr, root, challenge);
  }
  std::shared_ptr<FullProofJob> Full(PlotFile& f, uint64_t root, const uint8_t* challenge,
                                     const QualityJob* source = nullptr) {
    return engine.QueueFullProof(&f, root, challenge, 0, nullptr, nullptr, source, 0);
  }
};

std::vector<uint32_t> BigEndian(const uint32_t* proof) {
  std::vector<uint32_t> out(proof, proof + 64);
  for (uint32_t& x : out) x = __builtin_bswap32(x);
  return out;
}

// The quality the x pair gives, beside the independent verifier's.
void ExpectQuality(const PosRecord& r, const uint8_t* challenge, uint64_t xPair) {
  uint8_t quality[32];
  Sha256_32_8(quality, challenge, reinterpret_cast<const uint8_t*>(&xPair));
  EXPECT_EQ(Bytes(quality, 32), pos_oracle::Quality(challenge, r.proof)) << int(challenge[31]);
  EXPECT_EQ(ProofQualityXPair(BigEndian(r.proof).data(), challenge), xPair);
}

TEST(ProofJobs, RecoverEveryGenuineQualityAndProofAtEveryLevel) {
  const std::vector<PosRecord> records = LoadPosRecords();
  ASSERT_FALSE(records.empty());
  Rig rig;
  for (uint8_t level = 0; level <= 4; ++level) {
    const size_t step = level < 2 ? 1 : level == 2 ? 5 : 20;
    for (size_t n = level % 2; n < records.size(); n += step) {
      const PosRecord& r = records[n];
      const PlantedPlot planted = BuildPlantedPlot(r, level, 20);
      auto file = rig.Open(planted);
      for (int k = 0; k < 4; ++k) {  // over the records, every pair index
        uint8_t c[32];
        std::copy(r.challenge, r.challenge + 32, c);
        c[31] = static_cast<uint8_t>((c[31] & 0xE0) | ((n + 8 * k) & 31));
        auto quality = rig.Quality(*file, planted.positions[30], c);
        quality->Wait();
        ASSERT_FALSE(quality->Fallback());
        ExpectQuality(r, c, quality->XPair());
        if (k != 0 && level > 1) continue;
        for (auto* source : {static_cast<QualityJob*>(nullptr), quality.get()}) {
          auto full = rig.Full(*file, planted.positions[30], c, source);
          full->Wait();
          EXPECT_EQ(BigEndian(full->Proof()), std::vector<uint32_t>(r.proof, r.proof + 64));
          EXPECT_EQ(full->SkipXPairCheck(), source == nullptr);
          EXPECT_EQ(full->ExpectedXPair(), source ? quality->XPair() : 0);
          // Taking over the quality job's leaves spares recomputing them.
          EXPECT_EQ(full->LeavesRecomputed(), source ? 16 - quality->LeavesRecomputed() : 16);
        }
      }
    }
  }
}

}  // namespace
