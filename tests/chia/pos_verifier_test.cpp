#include <gtest/gtest.h>

#include "tests/chia/pos_verifier.h"

namespace {

TEST(PosVerifier, AcceptsGenuineProofsAndRefusesAlteredOnes) {
  const std::vector<PosRecord> records = LoadPosRecords();
  ASSERT_FALSE(records.empty());
  for (size_t n = 0; n < records.size(); ++n) {
    PosRecord r = records[n];
    EXPECT_TRUE(pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof)) << n;
    const std::vector<uint8_t> quality = pos_oracle::Quality(r.challenge, r.proof);
    // Swapped halves no longer match; plot order makes the quality blind to sibling order.
    std::rotate(r.proof, r.proof + 32, r.proof + 64);
    std::swap(r.proof[n % 64], r.proof[n % 64 ^ 1]);
    EXPECT_FALSE(pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof)) << n;
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
