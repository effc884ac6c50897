// The deployment record this build links by default, and the checks every record must pass.
#include "chia/deployment.h"

#include <gtest/gtest.h>

#include <random>

#include "chia/ed25519_point.h"
#include "tests/chia/bls_test_support.h"
#include "tests/support/hex.h"
#include "tests/support/thrown_text.h"

namespace {

template <size_t N>
std::array<uint8_t, N> Array(const std::string& hex) {
  std::array<uint8_t, N> out{};
  const auto bytes = FromHex(hex);
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

TEST(Deployment, UnconfiguredRecordHoldsKeysNobodyHoldsAndReachesNoHost) {
  const Deployment& d = ActiveDeployment();
  const auto& a = d.selfTestPlotKeys;
  EXPECT_EQ(blstest::RunOracle("bls_oracle.mjs", {"fixed"}), std::vector{ToHex(d.poolPublicKey)});
  EXPECT_EQ(blstest::RunOracle("deployment_oracle.mjs",
                               {"sleeve", "'VarnokChiaPool unconfigured server key'",
                                "'VarnokChiaPool unconfigured update key'"}),
            (std::vector{ToHex(d.ServerKey), ToHex(d.UpdateKey)}));
  EXPECT_EQ(blstest::RunOracle("bls_oracle.mjs", {"selftest", ToHex(d.poolPublicKey)}),
            std::vector{ToHex(a.publicKeyB) + " " + ToHex(a.plotId) + " " +
                        ToHex(a.delegatedPublicKeyB) + " " + ToHex(a.delegatedPlotId)});
  std::vector<std::string> names = d.poolHosts;
  names.push_back(d.ntpHost);
  for (const std::string& router : d.dhtRouters)
    names.push_back(router.substr(0, router.rfind(':')));
  for (const std::string& name : names) EXPECT_TRUE(name.ends_with(".invalid")) << name;
}

TEST(Deployment, CheckRefusesEachUnusableKeyWithItsReason) {
  EXPECT_EQ(ThrownText([] { CheckDeployment(ActiveDeployment()); }), "no exception");
  const std::string small = "Invalid deployment: the server key is an Ed25519 point of small order";
  const std::pair<std::string, std::string> rows[] = {
      {std::string(96, '0'),
       "Invalid deployment: the pool key is not a G1 key (Invalid G1 element)"},
      {"c0" + std::string(94, '0'), "Invalid deployment: the pool key is the identity"},
      {"ec" + std::string(60, 'f') + "7f", small},
      {"ed" + std::string(60, 'f') + "7f",
       "Invalid deployment: the update key is not an Ed25519 public key"}};
  for (const auto& [hex, error] : rows) {
    Deployment d = ActiveDeployment();
    if (hex.size() == 96) d.poolPublicKey = Array<48>(hex);
    (error == small ? d.ServerKey : d.UpdateKey) = hex.size() == 64 ? Array<32>(hex) : d.UpdateKey;
    EXPECT_EQ(ThrownText([&] { CheckDeployment(d); }), error) << hex;
  }
}

TEST(Deployment, Ed25519KeyClassesAgreeWithTheIndependentImplementation) {
  std::vector<std::string> args = {
      "check", "0000000000000000000000000000000000000000000000000000000000000080",
      "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
      "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
      "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"};
  std::mt19937_64 rng(25);
  for (int i = 0; i < 40; ++i) {
    std::array<uint8_t, 32> random;
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    args.push_back(ToHex(random));
  }
  const auto expected = blstest::RunOracle("deployment_oracle.mjs", args);
  ASSERT_EQ(expected.size(), args.size() - 1);
  std::map<std::string, int> seen;
  for (size_t i = 1; i < args.size(); ++i) {
    const Ed25519KeyClass c = ClassifyEd25519Key(Array<32>(args[i]).data());
    const char* name = c == Ed25519KeyClass::kValid        ? "ok"
                       : c == Ed25519KeyClass::kSmallOrder ? "small"
                                                          : "bad";
    EXPECT_EQ(name, expected[i - 1]) << args[i];
    ++seen[name];
  }
  EXPECT_TRUE(seen["ok"] > 0 && seen["small"] == 3 && seen["bad"] > 0);
}

}  // namespace
