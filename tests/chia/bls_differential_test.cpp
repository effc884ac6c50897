// Signatures and hashes cross-checked against an independent JavaScript implementation.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/hash_to_g2.h"
#include "chia/bls/pairing.h"
#include "tests/chia/bls_signer.h"
#include "tests/chia/bls_test_support.h"
#include "tests/support/test_seed.h"

namespace {

constexpr char kBasicDst[] = "BLS_SIG_BLS12381G2_XMD:SHA-256_SSWU_RO_NUL_";

std::string HexArg(const std::vector<uint8_t>& b) { return b.empty() ? "-" : ToHex(b); }
std::string HexArg(std::string_view s) { return HexArg(std::vector<uint8_t>(s.begin(), s.end())); }

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Case {
  bls::PrivateKey sk, other;
  std::vector<uint8_t> msg, wrongMsg, dst;
  bls::G1Element pk;
  std::vector<uint8_t> augmented;
};

TEST(BlsDifferential, SignAndVerifyBothWays) {
  std::mt19937_64 rng(TestSeed());
  const auto randomBytes = [&rng](size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  std::vector<Case> cases;
  for (int i = 0; i < 5; ++i) {
    Case c;
    c.sk = bls::PrivateKey::FromBytes(randomBytes(32), true);
    c.other = bls::PrivateKey::FromBytes(randomBytes(32), true);
    c.msg = randomBytes(rng() % 80 + (i == 0 ? 0 : 1));
    if (i == 0) c.msg.clear();
    c.wrongMsg = c.msg;
    c.wrongMsg.push_back(static_cast<uint8_t>(rng()));
    c.dst = randomBytes(rng() % 60 + 1);
    c.pk = c.sk.GetG1Element();
    c.augmented = Concat(c.pk.Serialize(), c.msg);
    cases.push_back(std::move(c));
  }

  const std::string aug = HexArg(std::string_view(bls::AugSchemeMPL::kDst));
  const std::string basic = HexArg(std::string_view(kBasicDst));
  std::vector<std::string> requests;
  std::vector<bls::G2Element> ours;
  for (const Case& c : cases) {
    const bls::G2Element sig = blstest::AugSign(c.sk, c.msg);
    ours.push_back(sig);
    const std::string pk = ToHex(c.pk.Serialize()), s = ToHex(sig.Serialize());
    const std::string otherPk = ToHex(c.other.GetG1Element().Serialize());
    const std::string sk = ToHex(c.sk.Serialize());
    requests.push_back("sign:" + aug + ":" + sk + ":" + HexArg(c.augmented));
    requests.push_back("sign:" + basic + ":" + sk + ":" + HexArg(c.augmented));
    requests.push_back("sign:" + aug + ":" + ToHex(c.other.Serialize()) + ":" +
                       HexArg(c.augmented));
    requests.push_back("verify:" + aug + ":" + pk + ":" + HexArg(c.augmented) + ":" + s);
    requests.push_back("verify:" + aug + ":" + pk + ":" +
                       HexArg(Concat(c.pk.Serialize(), c.wrongMsg)) + ":" + s);
    requests.push_back("verify:" + aug + ":" + otherPk + ":" +
                       HexArg(Concat(c.other.GetG1Element().Serialize(), c.msg)) + ":" + s);
    requests.push_back("verify:" + basic + ":" + pk + ":" + HexArg(c.augmented) + ":" + s);
    requests.push_back("hash:" + HexArg(c.dst) + ":" + HexArg(c.msg));
  }
  const std::vector<std::string> answers = blstest::RunOracle("bls_verify_oracle.mjs", requests);
  ASSERT_EQ(answers.size(), requests.size());

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ", message length " + std::to_string(c.msg.size()));
    const std::string* a = &answers[8 * i];
    // Signing is deterministic, so both sides must produce the same bytes.
    EXPECT_EQ(a[0], ToHex(ours[i].Serialize()));
    const bls::G2Element theirs = bls::G2Element::FromBytes(FromHex(a[0]));
    EXPECT_TRUE(bls::AugSchemeMPL::Verify(c.pk, c.msg, theirs));
    EXPECT_FALSE(bls::AugSchemeMPL::Verify(c.pk, c.wrongMsg, theirs));
    EXPECT_FALSE(bls::AugSchemeMPL::Verify(c.other.GetG1Element(), c.msg, theirs));
    // Their signature under the basic scheme's tag, and the other key's signature.
    EXPECT_FALSE(bls::AugSchemeMPL::Verify(c.pk, c.msg, bls::G2Element::FromBytes(FromHex(a[1]))));
    EXPECT_FALSE(bls::AugSchemeMPL::Verify(c.pk, c.msg, bls::G2Element::FromBytes(FromHex(a[2]))));
    // Our signature on their side: accepted, then refused for a wrong message, key or tag.
    EXPECT_EQ(a[3], "1");
    EXPECT_EQ(a[4], "0");
    EXPECT_EQ(a[5], "0");
    EXPECT_EQ(a[6], "0");
    EXPECT_EQ(a[7], ToHex(bls::G2Element(bls::HashToG2(c.msg, c.dst)).Serialize()));
  }
}

std::string Coefficients(const bls::Fp12& f) {
  std::string out;
  for (const bls::Fp6* half : {&f.c0, &f.c1}) {
    for (const bls::Fp2* pair : {&half->c0, &half->c1, &half->c2}) {
      for (const bls::Fp* c : {&pair->c0, &pair->c1}) {
        if (!out.empty()) out += ',';
        out += ToHex(c->ToBytes());
      }
    }
  }
  return out;
}

TEST(BlsDifferential, PairingValuesMatch) {
  // Equal target-group values pin the conventions (sign of x, final exponent) beyond what
  // bilinearity and signature checks can see.
  std::mt19937_64 rng(TestSeed());
  const std::array<uint64_t, 1> a = {rng() | 1}, b = {rng() | 1};
  const auto hex64 = [](uint64_t v) {
    const std::array<uint8_t, 8> be = {static_cast<uint8_t>(v >> 56), static_cast<uint8_t>(v >> 48),
                                       static_cast<uint8_t>(v >> 40), static_cast<uint8_t>(v >> 32),
                                       static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                                       static_cast<uint8_t>(v >> 8),  static_cast<uint8_t>(v)};
    return ToHex(be);
  };
  const auto answers = blstest::RunOracle(
      "bls_verify_oracle.mjs", {"pairing:1:1", "pairing:" + hex64(a[0]) + ":" + hex64(b[0])});
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(Coefficients(bls::Pairing(bls::G1Point::Generator(), bls::G2Point::Generator())),
            answers[0]);
  EXPECT_EQ(Coefficients(bls::Pairing(bls::G1Point::Generator().MulPublic(a),
                                      bls::G2Point::Generator().MulPublic(b))),
            answers[1]);
}

}  // namespace
