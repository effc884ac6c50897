#include <gtest/gtest.h>

#include <algorithm>

#include "tests/chia/pos_verifier.h"

namespace {

TEST(PosVerifier, F1KnownAnswers) {
  uint8_t id[32];
  for (int i = 0; i < 32; ++i) id[i] = static_cast<uint8_t>(i);
  const std::pair<uint32_t, uint64_t> rows[] = {{0, 254014609664}, {1, 147847582208}, {15, 56303608256}, {16, 88352093760}, {123456789, 74615798017}, {2147483648, 91310660704}, {4294967295, 225404750783}};
  for (const auto& [x, y] : rows) EXPECT_EQ(pos_oracle::F1(id, x), y) << x;
}

TEST(PosVerifier, AcceptsGenuineProofsAndRefusesAlteredOnes) {
  const std::vector<PosRecord> records = LoadPosRecords();
  ASSERT_FALSE(records.empty());
  for (size_t n = 0; n < records.size(); ++n) {
    PosRecord r = records[n];
    EXPECT_TRUE(pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof)) << n;
    // Plot order makes the quality blind to the order of siblings.
    const std::vector<uint8_t> quality = pos_oracle::Quality(r.challenge, r.proof);
    std::rotate(r.proof, r.proof + 32, r.proof + 64);
    EXPECT_FALSE(pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof)) << n;
    EXPECT_EQ(pos_oracle::Quality(r.challenge, r.proof), quality) << n;
    std::swap(r.proof[n % 64], r.proof[n % 64 ^ 1]);
    EXPECT_EQ(pos_oracle::Quality(r.challenge, r.proof), quality) << n;
    r = records[n];
    r.proof[n % 64] ^= 1u << (n % 32);
    EXPECT_FALSE(pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof)) << n;
    r = records[n];
    r.challenge[n % 4] ^= 0x10;
    EXPECT_FALSE(pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof)) << n;
    r.challenge[n % 4] ^= 0x10;
    r.challenge[31] ^= 1;
    EXPECT_NE(pos_oracle::Quality(r.challenge, r.proof), quality) << n;
  }
}

}  // namespace
