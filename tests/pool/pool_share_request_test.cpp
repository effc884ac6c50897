// The pool's signage-point request: plot filter, quality rule and the share on the wire.
#include "pool/pool_share_request.h"

#include <gtest/gtest.h>

#include "chia/plot_keys.h"
#include "pool/pool_socket.h"
#include "pool/settings.h"
#include "runtime/option_values.h"
#include "runtime/text_utils.h"
#include "tests/chia/pos_verifier.h"
#include "tests/pool/fake_pool_server.h"
#include "tests/thrown_text.h"

namespace {

SignagePoint Point(uint64_t difficulty, uint64_t blockWinBound, uint8_t shareFactor) {
  SignagePoint point;
  point.challengeHash.fill(0xc1), point.signagePointHash.fill(0x5a);
  point.difficulty = difficulty, point.blockWinBound = blockWinBound;
  point.shareFactor = shareFactor;
  return point;
}

TEST(PoolShareRequest, QualityPairOfGenuineProofsMatchesTheOracle) {
  const std::vector<PosRecord> records = LoadPosRecords();
  ASSERT_EQ(records.size(), 40u);
  for (const PosRecord& r : records) {
    uint32_t stored[64];
    for (int i = 0; i < 64; ++i) stored[i] = __builtin_bswap32(r.proof[i]);
    const uint64_t pair = ProofQualityXPair(stored, r.challenge);
    std::vector<uint8_t> quality(32);
    Sha256_32_8(quality.data(), r.challenge, reinterpret_cast<const uint8_t*>(&pair));
    EXPECT_EQ(quality, pos_oracle::Quality(r.challenge, r.proof));
  }
}

TEST(PoolShareRequest, PlotFilterAndQualityRuleOnKnownValues) {
  // Challenges from an independent SHA-256: one plot id in 512 passes.
  struct FilterRow {
    uint32_t idHead;
    const char* challenge;  // empty: the plot does not take part
  } filters[] = {{0, ""},
                 {463, "2b095a3563bb1f6830f1b042fdda1795bcaa2758a377cbce31fe4fac29812f7c"},
                 {806, "b5cb9fcdde65fce9d6319729754c14a32eed91827528c32c058632d36aaabe16"}};
  PoolShareRequest request(Point(1, 0, 1));
  for (const FilterRow& row : filters) {
    uint8_t id[32] = {0, 0, uint8_t(row.idHead >> 8), uint8_t(row.idHead)}, challenge[32];
    const bool takesPart = request.PlotChallenge(id, challenge);
    EXPECT_EQ(takesPart, *row.challenge != 0) << row.idHead;
    if (takesPart) {
      EXPECT_EQ(ToHexLower(challenge, 32), row.challenge);
    }
  }
  // Iterations of this quality: 948057225069 at difficulty 1000, 2^64 - 1 (saturated) at 2^36.
  struct QualityRow {
    uint64_t difficulty, blockWinBound;
    uint8_t shareFactor;
    int result;
  } rows[] = {{1000, 948057225070, 2, 2},
              {1000, 948057225069, 2, 0},
              {1000, 0, 0, 1},
              {1ull << 30, 0, 1, 1},
              {1ull << 30, 0, 2, 0},
              {1ull << 34, 0, 2, 0},   // iterations x 2 passes 2^64
              {1ull << 36, 0, 2, 1}};  // difficulty x 0x3f03f03f passes 2^64
  uint8_t challenge[32];
  std::fill(challenge, challenge + 32, 0x11);
  const uint64_t pair = 0x0807060504030201;
  for (const QualityRow& row : rows) {
    PoolShareRequest quality(Point(row.difficulty, row.blockWinBound, row.shareFactor));
    EXPECT_EQ(quality.CheckQuality(challenge, challenge, pair), row.result) << row.difficulty;
  }
}

TEST(PoolShareRequest, ShareOpensToItsFieldsAndGoesOutOnlyUnderASessionKey) {
  const PosRecord record = LoadPosRecords().at(0);
  uint32_t proof[64];
  for (int i = 0; i < 64; ++i) proof[i] = __builtin_bswap32(record.proof[i]);
  uint64_t keyBlock[64] = {};
  uint8_t* keys = reinterpret_cast<uint8_t*>(keyBlock);
  uint8_t plotId[32], seed[32] = {3};
  CreatePlotKeys(plotId, seed, keys + 1, keys + 33, keys + 65, nullptr);
  PoolSession session;
  auto share = [&](uint64_t blockWinBound) {
    PoolShareRequest(Point(1000, blockWinBound, 1), session)
        .OnProof(plotId, keyBlock, record.challenge, 3, proof);
  };
  EXPECT_EQ(ThrownText([&] { share(0); }), "No pool session yet, share not sent");

  const fake_pool::Key16 key{0x5e};
  session.TakeSessionKey(key, 77);
  PoolSessionInstance().copyMultiplier = 1;
  RewardPuzzleHash.fill(0xab), WorkerName.fill('w'), WorkerId = 0x1122334455667788;
  for (uint64_t bound : {uint64_t{0}, ~uint64_t{0}}) {
    fake_pool::Server server(29);
    PoolSocketInstance().Replace(server.Connect());
    share(bound);
    const fake_pool::Bytes datagram = server.Receive(3);
    ASSERT_EQ(datagram.size(), 548u);
    const fake_pool::Sealed sealed = fake_pool::OpenSealed(datagram.data(), 1, 491, key);
    ASSERT_TRUE(sealed.opens);
    fake_pool::Bytes expected(491);
    std::fill_n(expected.begin(), 32, 0x5a);
    std::copy_n(plotId, 32, expected.begin() + 32);
    std::copy_n(reinterpret_cast<uint8_t*>(proof), 256, expected.begin() + 64);
    std::copy_n(keys + 1, 112, expected.begin() + 322);
    std::fill_n(expected.begin() + 434, 32, 0xab), std::fill_n(expected.begin() + 466, 16, 'w');
    fake_pool::PutLe(expected, 482, WorkerId, 8), expected[490] = 3;
    EXPECT_EQ(sealed.opened, expected);
    EXPECT_EQ(sealed.sessionId, 77);
    // 32 copies over 10 s come every 322 ms, 4 over 4 s every 1333 ms.
    EXPECT_EQ(server.Receive(3, 800).empty(), bound == 0);
    PoolSocketInstance().Close();
  }
  keys[0] = 1;
  EXPECT_EQ(ThrownText([&] { share(0); }), "cfedb539");
  keys[0] = 2, keys[40] ^= 1;
  EXPECT_EQ(ThrownText([&] { share(0); }), "Plot keys are inconsistent with plot id");
}

}  // namespace
