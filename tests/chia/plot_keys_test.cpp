// Plot keys, plot ids, delegated plotting and the default key provider.
#include "chia/plot_keys.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <thread>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/private_key.h"
#include "chia/chia_address.h"
#include "tests/chia/bls_test_support.h"
#include "tests/support/test_seed.h"
#include "tests/support/thrown_text.h"

namespace {

// The globals of delegated plotting are reset around every test.
class PlotKeysTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    DelegatedPlotKeys.clear();
    DelegatedPublicKey = nullptr;
    delegatedPublicKeyBytes.fill(0);
  }
  static void SetDelegatedPublicKey(const uint8_t key[48]) {
    std::memcpy(delegatedPublicKeyBytes.data(), key, 48);
    DelegatedPublicKey = delegatedPublicKeyBytes.data();
  }
};

struct Keys {
  std::array<uint8_t, 32> id, a, b;
  std::array<uint8_t, 48> pkb;
};

Keys Create(const std::array<uint8_t, 32>& seed, const uint8_t* delegation) {
  Keys k;
  EXPECT_EQ(
      CreatePlotKeys(k.id.data(), seed.data(), k.a.data(), k.b.data(), k.pkb.data(), delegation),
      k.id.data());
  return k;
}

TEST_F(PlotKeysTest, KeysFromZeroSeedMatchTheIndependentImplementation) {
  auto fixed = blstest::RunOracle("bls_oracle.mjs", {"fixed"});
  ASSERT_EQ(fixed.size(), 1u);
  EXPECT_EQ(ToHex(GetFixedG1Constant().Serialize()), fixed[0]);
  EXPECT_TRUE(GetFixedG1Constant().GetPoint().IsInSubgroup());
  EXPECT_FALSE(GetFixedG1Constant().GetPoint().IsInfinity());

  const std::array<uint8_t, 32> zero{};
  Keys k = Create(zero, nullptr);
  EXPECT_EQ(k.a[31] & 1, 1);

  // The zero seed delegated to the public key of its own secret A (the self-test's second case).
  std::vector<uint8_t> ownAKey = bls::PrivateKey::FromBytes(k.a).GetG1Element().Serialize();
  auto delegated =
      blstest::RunOracle("bls_oracle.mjs", {"plotkeys", ToHex(zero) + ":" + ToHex(ownAKey)});
  ASSERT_EQ(delegated.size(), 1u);
  Keys kd = Create(zero, ownAKey.data());
  EXPECT_EQ(ToHex(kd.id) + " " + ToHex(kd.a) + " " + ToHex(kd.b) + " " + ToHex(kd.pkb),
            delegated[0]);

  // Random seeds, half of them with a delegation key.
  std::mt19937_64 rng(TestSeed());
  std::vector<std::array<uint8_t, 32>> seeds = {zero};
  std::vector<std::string> args = {"plotkeys", ToHex(zero)};
  std::vector<std::vector<uint8_t>> delegations = {{}};
  for (int i = 0; i < 6; ++i) {
    std::array<uint8_t, 32> s;
    for (auto& c : s) c = static_cast<uint8_t>(rng());
    seeds.push_back(s);
    std::vector<uint8_t> d;
    if (i % 2) d = bls::AugSchemeMPL().KeyGen(s).GetG1Element().Serialize();
    delegations.push_back(d);
    args.push_back(ToHex(s) + (d.empty() ? "" : ":" + ToHex(d)));
  }
  auto lines = blstest::RunOracle("bls_oracle.mjs", args);
  ASSERT_EQ(lines.size(), seeds.size());
  for (size_t i = 0; i < seeds.size(); ++i) {
    Keys got = Create(seeds[i], delegations[i].empty() ? nullptr : delegations[i].data());
    EXPECT_EQ(ToHex(got.id) + " " + ToHex(got.a) + " " + ToHex(got.b) + " " + ToHex(got.pkb),
              lines[i])
        << args[i + 1];
    EXPECT_EQ(got.a[31] & 1, 1);
  }
}

TEST_F(PlotKeysTest, DelegationAlgebra) {
  const std::array<uint8_t, 32> seed{};
  bls::PrivateKey d = bls::AugSchemeMPL().KeyGen(std::vector<uint8_t>(32, 0x5a));
  std::array<uint8_t, 48> dpub;
  d.GetG1Element().Serialize(dpub.data());
  std::array<uint8_t, 32> share;
  d.Serialize(share.data());

  // Kind 0: own keys check out directly.
  Keys own = Create(seed, nullptr);
  EXPECT_TRUE(CheckPlotPublicKey(own.b.data(), own.pkb.data()));
  EXPECT_TRUE(ComputePlotPublicKey(own.id.data(), own.a.data(), own.pkb.data(), nullptr));
  EXPECT_FALSE(ComputePlotPublicKey(own.id.data(), own.b.data(), own.pkb.data(), nullptr));

  // Kind 1: the same secrets, but the public keys carry D.
  Keys del = Create(seed, dpub.data());
  EXPECT_EQ(del.a, own.a);
  EXPECT_EQ(del.b, own.b);
  EXPECT_NE(del.pkb, own.pkb);
  EXPECT_NE(del.id, own.id);
  EXPECT_FALSE(CheckPlotPublicKey(del.b.data(), del.pkb.data()));
  EXPECT_FALSE(ComputePlotPublicKey(del.id.data(), del.a.data(), del.pkb.data(), nullptr));
  EXPECT_TRUE(ComputePlotPublicKey(del.id.data(), del.a.data(), del.pkb.data(), dpub.data()));

  // Kind 2: adding the owner's share makes the keys complete.
  AggregatePlotSecretKey(del.a.data(), del.b.data(), share.data());
  EXPECT_TRUE(CheckPlotPublicKey(del.b.data(), del.pkb.data()));
  EXPECT_TRUE(ComputePlotPublicKey(del.id.data(), del.a.data(), del.pkb.data(), nullptr));
  auto expectedA = bls::PrivateKey::Aggregate({bls::PrivateKey::FromBytes(own.a), d}).Serialize();
  EXPECT_EQ(std::vector<uint8_t>(del.a.begin(), del.a.end()), expectedA);

  // The checks never throw: bad secrets and bad keys are mismatches.
  std::array<uint8_t, 32> tooBig;
  tooBig.fill(0xff);
  std::array<uint8_t, 48> badKey{};
  badKey[0] = 0x80;
  EXPECT_FALSE(CheckPlotPublicKey(tooBig.data(), own.pkb.data()));
  EXPECT_FALSE(ComputePlotPublicKey(own.id.data(), tooBig.data(), own.pkb.data(), nullptr));
  EXPECT_FALSE(ComputePlotPublicKey(del.id.data(), own.a.data(), del.pkb.data(), badKey.data()));
  EXPECT_THROW(AggregatePlotSecretKey(own.a.data(), own.b.data(), tooBig.data()),
               std::invalid_argument);
  // An invalid delegation key is refused at creation.
  Keys unused;
  EXPECT_THROW(CreatePlotKeys(unused.id.data(), seed.data(), unused.a.data(), unused.b.data(),
                              unused.pkb.data(), badKey.data()),
               std::invalid_argument);
}

TEST_F(PlotKeysTest, PasswordKeys) {
  uint8_t s1[32], p1[48], s3[32], p3[48];
  DeriveKeyFromPassword("correct horse", s1, p1);
  DeriveKeyFromPassword("correct horse ", s3, p3);
  // The terminating zero byte is hashed: checked by the independent implementation, also for
  // the empty password (its seed input is the salt and the zero byte alone).
  uint8_t se[32], pe[48];
  DeriveKeyFromPassword("", se, pe);
  auto lines =
      blstest::RunOracle("bls_oracle.mjs", {"password", ToHex(std::string("correct horse")),
                                            ToHex(std::string("correct horse ")), "''"});
  ASSERT_EQ(lines.size(), 3u);
  auto pair = [](const uint8_t* secret, const uint8_t* key) {
    return ToHex(std::vector<uint8_t>(secret, secret + 32)) + " " +
           ToHex(std::vector<uint8_t>(key, key + 48));
  };
  EXPECT_EQ(pair(s1, p1), lines[0]);
  EXPECT_EQ(pair(s3, p3), lines[1]);
  EXPECT_EQ(pair(se, pe), lines[2]);

  testing::internal::CaptureStdout();
  PrintDelegatedPlottingKey("correct horse");
  PrintDelegatedPlottingKey("correct horse");
  std::string printed = testing::internal::GetCapturedStdout();
  const std::string one = "Public key for delegated plotting: " + EncodeKeyBech32m(p1) +
                          "\nGive this key to the person who will make plots\n";
  EXPECT_EQ(printed, one + one);
  ASSERT_EQ(DelegatedPlotKeys.size(), 1u);
  auto it = FindDelegatedPlotKey(p1);
  ASSERT_NE(it, DelegatedPlotKeys.end());
  EXPECT_EQ(0, std::memcmp(it->second.data(), s1, 32));
  EXPECT_EQ(FindDelegatedPlotKey(p3), DelegatedPlotKeys.end());
}

TEST_F(PlotKeysTest, ProviderLifecycleAndCodes) {
  PlotKeyProvider* provider = DefaultPlotKeyProvider();
  ASSERT_NE(provider, nullptr);
  std::array<uint8_t, 32> id;
  std::array<uint8_t, kPlotKeyBlockBytes> block;
  uint8_t present = 0;
  uint32_t code = 99;

  // Own keys: kind 0, zero delegation key, zero tail of the block.
  block.fill(0xee);
  ASSERT_TRUE(provider->NewPlotKeys(id.data(), &present, block.data(), &code));
  EXPECT_EQ(present, 1);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[kKeyRecordSecretA + 31] & 1, 1);
  for (size_t i = kKeyRecordDelegationKey; i < kPlotKeyBlockBytes; ++i) ASSERT_EQ(block[i], 0) << i;
  EXPECT_TRUE(
      CheckPlotPublicKey(block.data() + kKeyRecordSecretB, block.data() + kKeyRecordPublicKeyB));
  EXPECT_TRUE(ComputePlotPublicKey(id.data(), block.data() + kKeyRecordSecretA,
                                   block.data() + kKeyRecordPublicKeyB, nullptr));
  EXPECT_EQ(provider->Classify(id.data(), block.data()), 0u);
  EXPECT_EQ(provider->CheckPlotId(id.data(), block.data()), "");
  std::array<uint8_t, 32> otherId{};
  EXPECT_EQ(provider->CheckPlotId(otherId.data(), block.data()), "");  // kind 0 is not checked
  auto ownBlock = block;
  EXPECT_EQ(ThrownText([&] { provider->DeriveKeys(id.data(), block.data()); }), "feefadaf");
  EXPECT_EQ(block, ownBlock);
  // Two plots get different ids.
  std::array<uint8_t, 32> id2;
  ASSERT_TRUE(provider->NewPlotKeys(id2.data(), &present, block.data(), &code));
  EXPECT_NE(id, id2);

  // Delegated to a key whose password is not given here: kind 1, code 3.
  uint8_t secret[32], dkey[48];
  DeriveKeyFromPassword("owner password", secret, dkey);
  SetDelegatedPublicKey(dkey);
  ASSERT_TRUE(provider->NewPlotKeys(id.data(), &present, block.data(), &code));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(0, std::memcmp(block.data() + kKeyRecordDelegationKey, dkey, 48));
  for (size_t i = kPlotKeyRecordBytes; i < kPlotKeyBlockBytes; ++i) ASSERT_EQ(block[i], 0) << i;
  EXPECT_EQ(provider->Classify(id.data(), block.data()), 3u);
  EXPECT_EQ(provider->CheckPlotId(id.data(), block.data()), EncodeKeyBech32m(dkey));
  auto unknown = block;
  EXPECT_EQ(ThrownText([&] { provider->DeriveKeys(id.data(), block.data()); }),
            "Unknown public key for delegated plotting");
  EXPECT_EQ(block, unknown);
  DelegatedPublicKey = nullptr;
  EXPECT_EQ(provider->Classify(id.data(), block.data()), 2u);
  uint8_t otherSecret[32], otherKey[48];
  DeriveKeyFromPassword("someone else", otherSecret, otherKey);
  SetDelegatedPublicKey(otherKey);
  EXPECT_EQ(provider->Classify(id.data(), block.data()), 2u);

  // The owner's password is given: code 4, then completion to kind 2.
  testing::internal::CaptureStdout();
  PrintDelegatedPlottingKey("owner password");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(provider->Classify(id.data(), block.data()), 4u);
  SetDelegatedPublicKey(dkey);
  EXPECT_EQ(provider->Classify(id.data(), block.data()), 4u);
  ASSERT_TRUE(provider->NewPlotKeys(id2.data(), &present, block.data(), &code));
  EXPECT_EQ(code, 4u);

  // A record whose public key was damaged is refused and left as it was.
  auto damaged = block;
  damaged[kKeyRecordPublicKeyB + 20] ^= 1;
  auto damagedCopy = damaged;
  EXPECT_EQ(ThrownText([&] { provider->DeriveKeys(id2.data(), damaged.data()); }),
            "Plot keys are inconsistent with plot id (1)");
  EXPECT_EQ(damaged, damagedCopy);
  EXPECT_EQ(ThrownText([&] { provider->CheckPlotId(id2.data(), damaged.data()); }),
            "Plot keys are inconsistent with plot id (2)");

  auto before = block;
  ASSERT_TRUE(provider->DeriveKeys(id2.data(), block.data()));
  EXPECT_EQ(block[0], 2);
  EXPECT_NE(0, std::memcmp(block.data() + 1, before.data() + 1, 64));
  EXPECT_EQ(0, std::memcmp(block.data() + 65, before.data() + 65, kPlotKeyBlockBytes - 65));
  EXPECT_TRUE(
      CheckPlotPublicKey(block.data() + kKeyRecordSecretB, block.data() + kKeyRecordPublicKeyB));
  EXPECT_EQ(provider->Classify(id2.data(), block.data()), 1u);
  EXPECT_EQ(provider->CheckPlotId(id2.data(), block.data()), EncodeKeyBech32m(dkey));
  EXPECT_EQ(ThrownText([&] { provider->DeriveKeys(id2.data(), block.data()); }), "feefadaf");
  EXPECT_EQ(ThrownText([&] { provider->CheckPlotId(id.data(), block.data()); }),
            "Plot keys are inconsistent with plot id (3)");

  // Unknown kinds.
  for (uint8_t kind : {3, 7, 255}) {
    auto odd = block;
    odd[0] = kind;
    EXPECT_EQ(provider->Classify(id2.data(), odd.data()), 5u);
    EXPECT_EQ(ThrownText([&] { provider->CheckPlotId(id2.data(), odd.data()); }), "4f8ec967");
    EXPECT_EQ(ThrownText([&] { provider->DeriveKeys(id2.data(), odd.data()); }), "feefadaf");
  }
  // Kind 0 is classified 0 whatever the other bytes hold.
  auto zeroKind = block;
  zeroKind[0] = 0;
  EXPECT_EQ(provider->Classify(id2.data(), zeroKind.data()), 0u);
}

TEST_F(PlotKeysTest, ThreadsCreatingKeysAtOnceAgree) {
  // The first uses of the fixed element and the generator table race here (one process per test).
  constexpr int kThreads = 4;
  std::array<Keys, kThreads> got;
  std::array<std::array<uint8_t, 32>, kThreads> seeds;
  for (int t = 0; t < kThreads; ++t) seeds[t].fill(static_cast<uint8_t>(0x40 + t));
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        got[t] = Create(seeds[t], nullptr);
        EXPECT_TRUE(
            ComputePlotPublicKey(got[t].id.data(), got[t].a.data(), got[t].pkb.data(), nullptr));
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    Keys again = Create(seeds[t], nullptr);
    EXPECT_EQ(got[t].id, again.id) << t;
    EXPECT_EQ(got[t].pkb, again.pkb) << t;
  }
  EXPECT_NE(got[0].id, got[1].id);
}

TEST_F(PlotKeysTest, HexTextParsing) {
  EXPECT_EQ(HexStringToBytes("0x00ffA1"), (std::vector<uint8_t>{0x00, 0xff, 0xa1}));
  EXPECT_EQ(HexStringToBytes(""), std::vector<uint8_t>{});
  EXPECT_EQ(HexStringToBytes("0x"), std::vector<uint8_t>{});
  auto text = [](std::string_view s) {
    return ThrownText<std::invalid_argument>([&] { HexStringToBytes(s); });
  };
  EXPECT_EQ(text("abc"), "Invalid input string, length must be multple of 2");
  EXPECT_EQ(text("0xabc"), "Invalid input string, length must be multple of 2");
  EXPECT_EQ(text("zz"), "Invalid input string");
  EXPECT_EQ(text("0g"), "Invalid input string");
  EXPECT_EQ(text("0X00"), "Invalid input string");
}

}  // namespace
