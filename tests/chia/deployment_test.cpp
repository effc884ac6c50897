// The deployment record this build links by default, and the checks every record must pass.
#include "chia/deployment.h"

#include <gtest/gtest.h>

#include <random>

#include "chia/bls/g1.h"
#include "chia/ed25519_point.h"
#include "tests/chia/bls_test_support.h"
#include "tests/thrown_text.h"

namespace {

using blstest::FromHex;
using blstest::ToHex;

template <size_t N>
std::array<uint8_t, N> Array(const std::string& hex) {
  std::array<uint8_t, N> out{};
  const auto bytes = FromHex(hex);
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

TEST(Deployment, UnconfiguredRecordHoldsKeysNobodyHoldsAndReachesNoHost) {
  const Deployment& d = ActiveDeployment();
  EXPECT_EQ(ThrownText([&] { CheckDeployment(d); }), "no exception");
  EXPECT_EQ(blstest::RunOracle("bls_oracle.mjs", {"fixed"}), std::vector{ToHex(d.poolPublicKey)});
  EXPECT_EQ(blstest::RunOracle("deployment_oracle.mjs",
                               {"sleeve", "'VarnokChiaPool unconfigured server key'",
                                "'VarnokChiaPool unconfigured update key'"}),
            (std::vector{ToHex(d.serverKey), ToHex(d.updateKey)}));
  const auto& a = d.selfTestPlotKeys;
  EXPECT_EQ(blstest::RunOracle("bls_oracle.mjs", {"selftest", ToHex(d.poolPublicKey)}),
            std::vector{ToHex(a.publicKeyB) + " " + ToHex(a.plotId) + " " +
                        ToHex(a.delegatedPublicKeyB) + " " + ToHex(a.delegatedPlotId)});

  std::vector<std::string> names = d.poolHosts;
  names.push_back(d.ntpHost);
  for (const std::string& router : d.dhtRouters) names.push_back(router.substr(0, router.rfind(':')));
  ASSERT_GE(names.size(), 3u);
  for (const std::string& name : names) EXPECT_TRUE(name.ends_with(".invalid")) << name;
}

TEST(Deployment, CheckRefusesEachUnusableKeyWithItsReason) {
  // A curve point outside the subgroup: the x of the first try of the pool key's rule, without
  // the cofactor clearing.
  std::array<uint8_t, 48> outsideSubgroup{};
  for (uint64_t n = 1;; ++n) {
    bls::Fp x = bls::Fp::FromU64(n);
    auto y = (x.Square() * x + bls::Fp::FromU64(4)).Sqrt();
    if (!y) continue;
    const bls::G1Point p = bls::G1Point::FromAffineUnchecked(x, *y);
    if (p.IsInSubgroup()) continue;
    const auto c = p.ToCompressed();
    std::copy(c.begin(), c.end(), outsideSubgroup.begin());
    break;
  }
  const std::string identity = "c0" + std::string(94, '0');
  struct Row {
    const char* field;
    std::string hex;
    std::string error;
  } rows[] = {
      {"pool", std::string(96, '0'), "Invalid deployment: the pool key is not a G1 key (Invalid G1 element)"},
      {"pool", ToHex(outsideSubgroup), "Invalid deployment: the pool key is not a G1 key (Invalid G1 element)"},
      {"pool", identity, "Invalid deployment: the pool key is the identity"},
      {"server", "01" + std::string(62, '0'), "Invalid deployment: the server key is an Ed25519 point of small order"},
      {"server", "ec" + std::string(60, 'f') + "7f", "Invalid deployment: the server key is an Ed25519 point of small order"},
      {"update", "ed" + std::string(60, 'f') + "7f", "Invalid deployment: the update key is not an Ed25519 public key"},
      {"update", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", "Invalid deployment: the update key is an Ed25519 point of small order"},
  };
  for (const Row& row : rows) {
    Deployment d = ActiveDeployment();
    if (std::string(row.field) == "pool") d.poolPublicKey = Array<48>(row.hex);
    if (std::string(row.field) == "server") d.serverKey = Array<32>(row.hex);
    if (std::string(row.field) == "update") d.updateKey = Array<32>(row.hex);
    EXPECT_EQ(ThrownText([&] { CheckDeployment(d); }), row.error) << row.hex;
  }
}

TEST(Deployment, Ed25519KeyClassesAgreeWithTheIndependentImplementation) {
  std::vector<std::string> keys = {
      "0100000000000000000000000000000000000000000000000000000000000000",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
      "0000000000000000000000000000000000000000000000000000000000000000",
      "0000000000000000000000000000000000000000000000000000000000000080",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
      "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a",  // RFC 8032 test 1
  };
  std::mt19937_64 rng(25);
  for (int i = 0; i < 40; ++i) {
    std::array<uint8_t, 32> random;
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    keys.push_back(ToHex(random));
  }
  std::vector<std::string> args = {"check"};
  args.insert(args.end(), keys.begin(), keys.end());
  const auto expected = blstest::RunOracle("deployment_oracle.mjs", args);
  ASSERT_EQ(expected.size(), keys.size());
  int seen[3] = {};
  for (size_t i = 0; i < keys.size(); ++i) {
    const auto key = Array<32>(keys[i]);
    const Ed25519KeyClass c = ClassifyEd25519Key(key.data());
    const char* name = c == Ed25519KeyClass::Valid ? "ok" : c == Ed25519KeyClass::SmallOrder ? "small" : "bad";
    EXPECT_EQ(name, expected[i]) << keys[i];
    ++seen[static_cast<int>(c)];
  }
  EXPECT_TRUE(seen[0] > 0 && seen[1] > 0 && seen[2] >= 7) << "every class is exercised";
}

}  // namespace
