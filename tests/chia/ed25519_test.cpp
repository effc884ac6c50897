#include "chia/ed25519.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>
#include <vector>

#include "tests/support/hex.h"
#include "tests/support/vector_file.h"

TEST(Ed25519, PublishedVectorsAndOneBitFlips) {
  const std::vector<VectorRecord> vectors = LoadVectorFile("ed25519_rfc8032.txt");
  ASSERT_EQ(vectors.size(), 4u);
  for (const VectorRecord& v : vectors) {
    auto key = FromHex(v.at("key"));
    auto message = FromHex(v.at("msg"));
    auto signature = FromHex(v.at("sig"));
    const uint8_t* m = message.empty() ? nullptr : message.data();
    EXPECT_TRUE(Ed25519Verify(key.data(), signature.data(), m, message.size())) << v.at("key");

    // One flipped bit anywhere (signature, message, key) is a plain false.
    for (size_t bit : {0, 200, 511}) {
      auto bad = signature;
      bad[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
      bool ok = true;
      EXPECT_NO_THROW(ok = Ed25519Verify(key.data(), bad.data(), m, message.size()));
      EXPECT_FALSE(ok) << "signature bit " << bit;
    }
    if (!message.empty()) {
      auto bad = message;
      bad.back() ^= 0x01;
      EXPECT_FALSE(Ed25519Verify(key.data(), signature.data(), bad.data(), bad.size()));
      // Verifying a prefix only is a different message.
      EXPECT_FALSE(Ed25519Verify(key.data(), signature.data(), message.data(), message.size() - 1));
    }
    auto otherKey = key;
    otherKey[3] ^= 0x10;
    bool ok = true;
    EXPECT_NO_THROW(ok = Ed25519Verify(otherKey.data(), signature.data(), m, message.size()));
    EXPECT_FALSE(ok);
  }
  // Refusals leave nothing on the error queue for a later failure to report.
  EXPECT_EQ(ERR_peek_error(), 0u);
}
