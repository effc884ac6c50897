// Key generation, child derivation, public keys and aggregation against published answers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/bls_init.h"
#include "chia/bls/private_key.h"
#include "tests/chia/bls_test_support.h"
#include "tests/support/vector_file.h"

namespace {

TEST(BlsKeys, KeyGenAndPublicKeyKnownAnswers) {
  ASSERT_TRUE(bls::BLS::Init());
  bls::AugSchemeMPL scheme;
  std::vector<uint8_t> zeros(32, 0);
  auto sk = scheme.KeyGen(zeros);
  EXPECT_EQ(ToHex(sk.Serialize()),
            "4a353be3dac091a0a7e640620372f5e1e2e4401717c1e79cac6ffba8f6905604");
  auto pk = sk.GetG1Element();
  EXPECT_EQ(ToHex(pk.Serialize()),
            "85695fcbc06cc4c4c9451f4dce21cbf8de3e5a13bf48f44cdbb18e2038ba7b8bb1632d7911ef1e2e087"
            "49bddbf165352");
  uint8_t raw[48];
  pk.Serialize(raw);
  EXPECT_EQ(std::vector<uint8_t>(raw, raw + 48), pk.Serialize());

  EXPECT_EQ(pk.GetFingerprint(), 0xb40dd58au);
  EXPECT_EQ(scheme.KeyGen(std::vector<uint8_t>(32, 0x01)).GetG1Element().GetFingerprint(),
            0xb839add1u);
  EXPECT_EQ(scheme.KeyGen(std::vector<uint8_t>(32, 0x08)).GetG1Element().GetFingerprint(),
            0x8ee7ba56u);

  EXPECT_THROW(scheme.KeyGen(std::vector<uint8_t>(31, 0)), std::invalid_argument);
  // Longer seeds are allowed and give a different key.
  EXPECT_NE(scheme.KeyGen(std::vector<uint8_t>(33, 0)), sk);
}

TEST(BlsKeys, ChildDerivationKnownAnswers) {
  const std::vector<VectorRecord> rows = LoadVectorFile("eip2333_child_keys.txt");
  ASSERT_EQ(rows.size(), 4u);
  bls::CoreMPL core;
  for (const VectorRecord& row : rows) {
    auto master = core.KeyGen(FromHex(row.at("seed")));
    EXPECT_EQ(ToHex(master.Serialize()), row.at("master"));
    const uint32_t index = static_cast<uint32_t>(std::stoul(row.at("index")));
    EXPECT_EQ(ToHex(core.DeriveChildSk(master, index).Serialize()), row.at("child")) << index;
  }
}

TEST(BlsKeys, PrivateKeyEncodingAndAggregation) {
  const auto r = FromHex("73eda753299d7d483339d80809a1d80553bda402fffe5bfeffffffff00000001");
  auto rMinus1 = r;
  rMinus1.back() = 0x00;
  auto maxKey = bls::PrivateKey::FromBytes(rMinus1);
  EXPECT_EQ(maxKey.Serialize(), rMinus1);
  EXPECT_THROW(bls::PrivateKey::FromBytes(r), std::invalid_argument);
  EXPECT_THROW(bls::PrivateKey::FromBytes(std::vector<uint8_t>(32, 0xff)), std::invalid_argument);
  EXPECT_THROW(bls::PrivateKey::FromBytes(std::vector<uint8_t>(31, 0)), std::invalid_argument);
  EXPECT_THROW(bls::PrivateKey::FromBytes(std::vector<uint8_t>(33, 0)), std::invalid_argument);
  // Reduction on request: r itself becomes zero.
  EXPECT_EQ(bls::PrivateKey::FromBytes(r, true).Serialize(), std::vector<uint8_t>(32, 0));

  // (r - 1) + 2 = 1 mod r; and the public key of a sum is the sum of the public keys.
  std::vector<uint8_t> two(32, 0);
  two.back() = 2;
  auto sum = bls::PrivateKey::Aggregate({maxKey, bls::PrivateKey::FromBytes(two)});
  std::vector<uint8_t> one(32, 0);
  one.back() = 1;
  EXPECT_EQ(sum.Serialize(), one);
  EXPECT_EQ(sum.GetG1Element(), bls::G1Element::Generator());
  EXPECT_EQ(maxKey.GetG1Element() + bls::G1Element::Generator(), bls::G1Element());
  EXPECT_THROW(bls::PrivateKey::Aggregate({}), std::length_error);
  EXPECT_EQ(bls::PrivateKey().GetG1Element(), bls::G1Element());
}

}  // namespace
