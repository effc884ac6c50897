// Key generation, child derivation, public keys and aggregation against published answers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/bls_init.h"
#include "chia/bls/private_key.h"
#include "tests/chia/bls_test_support.h"

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
  struct Row {
    const char* seed;
    const char* master;
    uint32_t index;
    const char* child;
  };
  const Row rows[] = {
      {"3141592653589793238462643383279502884197169399375105820974944592",
       "4ff5e145590ed7b71e577bb04032396d1619ff41cb4e350053ed2dce8d1efd1c", 3141592653u,
       "5c62dcf9654481292aafa3348f1d1b0017bbfb44d6881d26d2b17836b38f204d"},
      {"0099ff991111002299dd7744ee3355bbdd8844115566cc55663355668888cc00",
       "1ebd704b86732c3f05f30563dee6189838e73998ebc9c209ccff422adee10c4b", 4294967295u,
       "1b98db8b24296038eae3f64c25d693a269ef1e4d7ae0f691c572a46cf3c0913c"},
      {"d4e56740f876aef8c010b86a40d5f56745a118d0906a34e69aec8c0db1cb8fa3",
       "614d21b10c0e4996ac0608e0e7452d5720d95d20fe03c59a3321000a42432e1a", 42u,
       "08de7136e4afc56ae3ec03b20517d9c1232705a747f588fd17832f36ae337526"},
      {"c55257c360c07c72029aebc1b53c05ed0362ada38ead3e3e9efa3708e53495531f09a6987599d18264c1e1c9"
       "2f2cf141630c7a3c4ab7c81b2f001698e7463b04",
       "0befcabff4a664461cc8f190cdd51c05621eb2837c71a1362df5b465a674ecfb", 0u,
       "1a1de3346883401f1e3b2281be5774080edb8e5ebe6f776b0f7af9fea942553a"},
  };
  bls::CoreMPL core;
  for (const auto& row : rows) {
    auto master = core.KeyGen(FromHex(row.seed));
    EXPECT_EQ(ToHex(master.Serialize()), row.master);
    auto child = core.DeriveChildSk(master, row.index);
    EXPECT_EQ(ToHex(child.Serialize()), row.child) << row.index;
  }
}

TEST(BlsKeys, PrivateKeyEncodingAndAggregation) {
  const auto r = FromHex("73eda753299d7d483339d80809a1d80553bda402fffe5bfeffffffff00000001");
  auto r_minus_1 = r;
  r_minus_1.back() = 0x00;
  auto max_key = bls::PrivateKey::FromBytes(r_minus_1);
  EXPECT_EQ(max_key.Serialize(), r_minus_1);
  EXPECT_THROW(bls::PrivateKey::FromBytes(r), std::invalid_argument);
  EXPECT_THROW(bls::PrivateKey::FromBytes(std::vector<uint8_t>(32, 0xff)), std::invalid_argument);
  EXPECT_THROW(bls::PrivateKey::FromBytes(std::vector<uint8_t>(31, 0)), std::invalid_argument);
  EXPECT_THROW(bls::PrivateKey::FromBytes(std::vector<uint8_t>(33, 0)), std::invalid_argument);
  // Reduction on request: r itself becomes zero.
  EXPECT_EQ(bls::PrivateKey::FromBytes(r, true).Serialize(), std::vector<uint8_t>(32, 0));

  // (r - 1) + 2 = 1 mod r; and the public key of a sum is the sum of the public keys.
  std::vector<uint8_t> two(32, 0);
  two.back() = 2;
  auto sum = bls::PrivateKey::Aggregate({max_key, bls::PrivateKey::FromBytes(two)});
  std::vector<uint8_t> one(32, 0);
  one.back() = 1;
  EXPECT_EQ(sum.Serialize(), one);
  EXPECT_EQ(sum.GetG1Element(), bls::G1Element::Generator());
  EXPECT_EQ(max_key.GetG1Element() + bls::G1Element::Generator(), bls::G1Element());
  EXPECT_THROW(bls::PrivateKey::Aggregate({}), std::length_error);

  bls::CoreMPL core;
  auto a = core.KeyGen(std::vector<uint8_t>(32, 0x11));
  auto b = core.KeyGen(std::vector<uint8_t>(32, 0x22));
  auto pa = a.GetG1Element();
  pa += b.GetG1Element();
  EXPECT_EQ(bls::PrivateKey::Aggregate({a, b}).GetG1Element(), pa);
  EXPECT_EQ(bls::PrivateKey().GetG1Element(), bls::G1Element());
}

}  // namespace
