#include <gtest/gtest.h>

#include "chia/sha256.h"
#include "prover/full_proof_job.h"
#include "prover/level_thresholds.h"
#include "prover/plot_access_engine.h"
#include "prover/proof_order.h"
#include "prover/quality_job.h"
#include "tests/prover/planted_plot_support.h"
#include "tests/support/sanitizer_sample.h"
#include "tests/support/thrown_text.h"

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
    // Every record at level 0, a few above: a full proof costs 16 recomputations.
    const size_t every = level == 0 ? 1 : level == 1 ? 13 : level == 2 ? 20 : 40;
    const size_t step = every * kSanitizerSample;
    for (size_t n = level; n < records.size(); n += step) {
      const PosRecord& r = records[n];
      const PlantedPlot planted = BuildPlantedPlot(r, level, 20);
      auto file = rig.Open(planted);
      for (int k = 0; k < 2; ++k) {  // over the records, every pair index
        uint8_t c[32];
        std::copy(r.challenge, r.challenge + 32, c);
        c[31] = static_cast<uint8_t>((c[31] & 0xE0) | ((n + 16 * k) & 31));
        auto quality = rig.Quality(*file, planted.positions[30], c);
        quality->Wait();
        ASSERT_FALSE(quality->Fallback());
        ExpectQuality(r, c, quality->XPair());
        if (k != 0 || (level == 0 && n % 4 != 0)) continue;
        std::vector<QualityJob*> sources{quality.get()};
        if (level < 4) sources.push_back(nullptr);
        for (QualityJob* source : sources) {
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

// Damage planted on purpose: each fails with its code, and only a proof that recomputed but
// does not hold counts against the plot.
TEST(ProofJobs, DamagedPlotsFailWithTheirCodes) {
  const PosRecord genuine = LoadPosRecords().at(0);
  auto scramble = [](PosRecord& r) {
    std::mt19937 random(3);
    for (uint32_t& x : r.proof) x = random();
  };
  const struct {
    std::function<void(PosRecord&)> damage;
    uint8_t level;  // the header's, over leaves planted at level 0
    bool full;
    uint8_t flip;  // into the challenge's first byte
    std::string text;
    uint64_t failedProofs;
  } rows[] = {
      {{}, 0, true, 1, "invalid plot file: B5411A97", 1},
      {[](PosRecord& r) { std::copy(r.proof + 8, r.proof + 12, r.proof + 4); }, 0, true, 0,
       "invalid plot file: 72F8F5E5", 1},
      {scramble, 0, false, 0, "invalid plot file: 78DDB268", 0},
      {scramble, 0, true, 0, "invalid plot file: 4EC8F6E0", 0},
      {{}, 4, false, 0, "invalid plot file: 5E0C93A1", 0},
      {{}, 4, true, 0, "invalid plot file: 5E0C93A1", 0},
  };
  Rig rig;
  for (const auto& row : rows) {
    PosRecord r = genuine;
    if (row.damage) row.damage(r);
    const PlantedPlot planted = BuildPlantedPlot(r, 0, 8);
    auto file = rig.Open(planted);
    file->header.level = row.level;
    uint8_t c[32];
    std::copy(genuine.challenge, genuine.challenge + 32, c);
    c[0] ^= row.flip;
    const uint64_t root = planted.positions[30];
    std::shared_ptr<PlotJob> job;
    if (row.full)
      job = rig.Full(*file, root, c);
    else
      job = rig.Quality(*file, root, c);
    EXPECT_EQ(ThrownText([&] { job->Wait(); }), row.text);
    EXPECT_EQ(file->failedProofCount.load(), row.failedProofs) << row.text;
  }
  // A quality job that cannot finish (no read worker serves its directory) is no source yet.
  auto stuck = rig.Quality(*rig.Open(BuildPlantedPlot(genuine, 0), 5), 0, genuine.challenge);
  EXPECT_EQ(ThrownText([&] { rig.Full(stuck->Plot(), 0, genuine.challenge, stuck.get()); }),
            "E736427E");
  EXPECT_EQ(ThrownText([&] { stuck->IsReady(3); }), "D50E17BC");
  EXPECT_EQ(ThrownText([&] { stuck->Step(3, 0); }), "84EA01A4");
  stuck->Cancel();
}

// Every canonically second child lies past its table by its parent's threshold: the walk down
// the first children settles each order from the line point alone, never reading the far side.
TEST(ProofJobs, ChildrenFarApartAreOrderedWithoutReading) {
  const std::vector<PosRecord> records = LoadPosRecords();
  Rig rig;
  for (size_t n = 0; n < 6; ++n) {
    const PosRecord& r = records[n];
    std::function<uint32_t(int)> largest = [&](int v) {
      return v < 16 ? *std::max_element(r.proof + 4 * v, r.proof + 4 * v + 4)
                    : std::max(largest(2 * v - 32), largest(2 * v - 31));
    };
    const PlantedPlot planted = BuildPlantedPlot(r, 0, 5, {}, [&](int v) -> uint64_t {
      return v < 30 && largest(v) > largest(v ^ 1) ? LevelThresholds[ProofTree::NodeTable(v)] : 0;
    });
    auto file = rig.Open(planted);
    for (uint8_t pair : {0, 1}) {
      uint8_t c[32];
      std::copy(r.challenge, r.challenge + 32, c);
      c[31] = static_cast<uint8_t>((c[31] & 0xE0) | pair);
      auto quality = rig.Quality(*file, planted.positions[30], c);
      quality->Wait();
      ExpectQuality(r, c, quality->XPair());
    }
  }
}

// Decoy candidates planted in a finished tree: the walk narrows them away, overlapping single
// candidates fall back, and a full proof prunes 8^16 combinations down to the genuine one.
TEST(ProofJobs, DecoysAreNarrowedFallBackOrArePruned) {
  const PosRecord r = LoadPosRecords().at(2);
  Rig rig;
  const PlantedPlot planted = BuildPlantedPlot(r, 0, 20);
  auto file = rig.Open(planted);
  const uint64_t root = planted.positions[30];
  auto full = rig.Full(*file, root, r.challenge);
  full->Wait();
  const ProofTreeState whole = full->Tree();
  std::mt19937_64 random(7);
  for (uint8_t pair = 0; pair < 32; ++pair) {
    ProofTreeState s = whole;
    for (uint32_t leaf = 0; leaf < 16; ++leaf) {  // a decoy ahead of every genuine candidate
      std::memcpy(s.data.candidates[leaf][1], s.data.candidates[leaf][0], 16);
      s.data.candidateData[leaf][1] = s.data.candidateData[leaf][0];
      for (uint8_t& b : s.data.candidates[leaf][0]) b = random();
      s.data.candidateCounts[leaf] = 2;
    }
    uint8_t c[32];
    std::copy(r.challenge, r.challenge + 32, c);
    c[31] = pair;
    uint32_t current = kProofRoot;
    uint64_t xPair = 0;
    ASSERT_EQ(ProofTree::WalkToPair(s, current, pair, xPair), ProofTree::Status::kReady);
    ExpectQuality(r, c, xPair);
  }
  ProofTreeState s = whole;
  std::memcpy(s.data.candidates[1][0], s.data.candidates[0][0], 16);
  EXPECT_EQ(ProofTree::ResolveOrder(s, 16), ProofTree::Status::kFallback);
  EXPECT_EQ(s.fallback, 1);
  for (uint8_t& b : s.data.candidates[0][0]) b = random();
  bool changed = false;
  EXPECT_EQ(ThrownText([&] { ProofTree::ExpandNode(s, 0, changed); }),
            "invalid plot file: 982FD831");

  auto quality = rig.Quality(*file, root, r.challenge);
  quality->Wait();
  {
    std::lock_guard<std::mutex> lock(rig.engine.Mutex());
    ProofTreeData& d = quality->Tree().data;
    d = whole.data;
    for (uint32_t leaf = 0; leaf < 16; ++leaf) {  // other leaves' entries, the genuine one last
      for (uint32_t j = 0; j < 8; ++j) {
        std::memcpy(d.candidates[leaf][j], whole.data.candidates[(leaf + 7 - j) % 16][0], 16);
        d.candidateData[leaf][j] = whole.data.candidateData[(leaf + 7 - j) % 16][0];
      }
      d.candidateCounts[leaf] = 8;
    }
  }
  auto pruned = rig.Full(*file, root, r.challenge, quality.get());
  pruned->Wait();
  EXPECT_EQ(BigEndian(pruned->Proof()), std::vector<uint32_t>(r.proof, r.proof + 64));
  EXPECT_EQ(pruned->LeavesRecomputed(), 0u);

  // A source that read and recomputed only part of the tree, and fell back: the rest is redone.
  {
    std::lock_guard<std::mutex> lock(rig.engine.Mutex());
    ProofTreeState& t = quality->Tree();
    t.data = whole.data;
    t.fallback = 1;
    for (uint32_t node = 1; node < kProofRoot; node += 2) {
      t.data.values[node] = ~uint64_t{0};
      if (node < 16) t.data.candidateCounts[node] = 0;
    }
  }
  auto rest = rig.Full(*file, root, r.challenge, quality.get());
  rest->Wait();
  EXPECT_EQ(BigEndian(rest->Proof()), std::vector<uint32_t>(r.proof, r.proof + 64));
  EXPECT_EQ(rest->LeavesRecomputed(), 8u);
  EXPECT_TRUE(rest->SkipXPairCheck());
}

// Proofs full of repeated x values: sibling groups tie on their last pairs and further back.
TEST(ProofOrder, AgreesWithTheVerifierWhenGroupsTie) {
  std::mt19937 random(11);
  for (uint32_t n = 0; n < 96; ++n) {
    uint32_t proof[64];
    for (uint32_t& x : proof) x = n % 3 == 2 ? random() : random() % (n % 3 + 2);
    uint8_t c[32] = {};
    c[31] = static_cast<uint8_t>(n * 37);
    uint8_t quality[32];
    const uint64_t xPair = ProofQualityXPair(BigEndian(proof).data(), c);
    Sha256_32_8(quality, c, reinterpret_cast<const uint8_t*>(&xPair));
    EXPECT_EQ(Bytes(quality, 32), pos_oracle::Quality(c, proof)) << n;
  }
}

}  // namespace
