// Differential tests against an independent JavaScript implementation run by Node.
#include <gtest/gtest.h>

#include <random>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/g1.h"
#include "chia/bls/private_key.h"
#include "tests/chia/bls_test_support.h"
#include "tests/support/test_seed.h"

namespace {

TEST(BlsOracle, KeysDerivationPublicKeysAndSumsMatch) {
  std::mt19937_64 rng(TestSeed());
  std::vector<std::string> args;
  std::vector<std::pair<std::vector<uint8_t>, uint32_t>> inputs;
  for (int i = 0; i < 12; ++i) {
    std::vector<uint8_t> s(32 + (i % 3) * 8);  // 32, 40 and 48-byte seeds
    for (auto& b : s) b = static_cast<uint8_t>(rng());
    uint32_t index = (i == 0) ? 0u : (i == 1 ? 0xffffffffu : static_cast<uint32_t>(rng()));
    inputs.emplace_back(s, index);
    args.push_back(ToHex(s) + ":" + std::to_string(index));
  }
  auto lines = blstest::RunOracle("bls_oracle.mjs", [&] {
    auto a = args;
    a.insert(a.begin(), "keys");
    return a;
  }());
  ASSERT_EQ(lines.size(), inputs.size());
  bls::AugSchemeMPL scheme;
  for (size_t i = 0; i < inputs.size(); ++i) {
    auto fields = blstest::Split(lines[i]);
    ASSERT_EQ(fields.size(), 7u) << lines[i];
    auto master = scheme.KeyGen(inputs[i].first);
    auto child = scheme.DeriveChildSk(master, inputs[i].second);
    auto pm = master.GetG1Element();
    auto pc = child.GetG1Element();
    auto agg = bls::PrivateKey::Aggregate({master, child});
    EXPECT_EQ(ToHex(master.Serialize()), fields[0]) << args[i];
    EXPECT_EQ(ToHex(child.Serialize()), fields[1]) << args[i];
    EXPECT_EQ(ToHex(pm.Serialize()), fields[2]) << args[i];
    EXPECT_EQ(ToHex(pc.Serialize()), fields[3]) << args[i];
    EXPECT_EQ(ToHex((pm + pc).Serialize()), fields[4]) << args[i];
    EXPECT_EQ(ToHex(agg.Serialize()), fields[5]) << args[i];
    EXPECT_EQ(ToHex(agg.GetG1Element().Serialize()), fields[6]) << args[i];
  }
}

TEST(BlsOracle, DecodingAcceptsAndRefusesTheSameEncodings) {
  std::mt19937_64 rng(TestSeed());
  std::vector<std::array<uint8_t, 48>> cases;
  for (int i = 0; i < 6; ++i) {
    std::array<uint8_t, 48> wide;
    for (auto& b : wide) b = static_cast<uint8_t>(rng());
    auto p = bls::G1Point::MulGenerator(bls::Scalar::FromBytesReduce(wide)).ToCompressed();
    cases.push_back(p);
    p[0] ^= 0x20;  // the negated point
    cases.push_back(p);
    p[0] &= 0x7f;  // no compression flag
    cases.push_back(p);
  }
  // Random x: mostly off the curve or outside the subgroup; cleared cofactors are valid.
  for (int i = 0; i < 12; ++i) {
    std::array<uint8_t, 48> x;
    for (auto& b : x) b = static_cast<uint8_t>(rng());
    x[0] = static_cast<uint8_t>((x[0] & 0x1f) | 0x80 | (i % 2 ? 0x20 : 0));
    cases.push_back(x);
    if (auto p = bls::G1Point::FromCompressedOnCurve(x)) {
      cases.push_back(p->ClearCofactor().ToCompressed());
    }
  }
  // Infinity and its malformed variants.
  for (uint8_t first : {0xc0, 0xe0, 0x80, 0xc1, 0x40, 0x00}) {
    for (uint8_t last : {0, 1}) {
      std::array<uint8_t, 48> special{};
      special[0] = first;
      special[47] = last;
      cases.push_back(special);
    }
  }

  std::vector<std::string> args = {"decode"};
  for (const auto& c : cases) args.push_back(ToHex(c));
  auto lines = blstest::RunOracle("bls_oracle.mjs", args);
  ASSERT_EQ(lines.size(), cases.size());
  int accepted = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    auto ours = bls::G1Point::FromCompressed(cases[i]);
    if (lines[i] == "bad") {
      EXPECT_FALSE(ours.has_value()) << args[i + 1];
    } else {
      ASSERT_TRUE(ours.has_value()) << args[i + 1];
      EXPECT_EQ("ok " + ToHex(ours->ToCompressed()), lines[i]);
      ++accepted;
    }
  }
  EXPECT_GE(accepted, 13);  // the 12 random points and infinity at least
}

}  // namespace
