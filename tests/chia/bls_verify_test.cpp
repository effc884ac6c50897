// Signature encoding, known signatures and the augmented-scheme verification.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/g2_element.h"
#include "chia/bls/hash_to_g2.h"
#include "tests/chia/bls_signer.h"
#include "tests/chia/bls_test_support.h"

namespace {

constexpr char kBasicDst[] = "BLS_SIG_BLS12381G2_XMD:SHA-256_SSWU_RO_NUL_";

const char kGeneratorHex[] =
    "93e02b6052719f607dacd3a088274f65596bd0d09920b61ab5da61bbdc7f5049334cf11213945d57e5ac7d055d04"
    "2b7e024aa2b2f08f0a91260805272dc51051c6e47ad4fa403b02b4510b647ae3d1770bac0326a805bbefd48056c8"
    "c121bdb8";

bool Refused(const std::vector<uint8_t>& bytes) {
  try {
    bls::G2Element::FromBytes(bytes);
    return false;
  } catch (const std::invalid_argument&) {
    return true;
  }
}

TEST(BlsG2Encoding, RoundTripsAndRefusals) {
  const bls::G2Element g = bls::G2Element::Generator();
  EXPECT_EQ(ToHex(g.Serialize()), kGeneratorHex);
  EXPECT_EQ(bls::G2Element::FromBytes(FromHex(kGeneratorHex)), g);
  // The negation differs only in the sign flag.
  std::vector<uint8_t> neg = FromHex(kGeneratorHex);
  neg[0] ^= 0x20;
  EXPECT_EQ(bls::G2Element::FromBytes(neg).GetPoint(), -g.GetPoint());
  EXPECT_EQ(bls::G2Element(-g.GetPoint()).Serialize(), neg);
  // Multiples round-trip, whichever root their y is.
  bls::G2Element acc = g;
  for (int i = 0; i < 6; ++i) {
    acc += acc + g;
    const std::vector<uint8_t> bytes = acc.Serialize();
    EXPECT_EQ(bls::G2Element::FromBytes(bytes), acc);
    uint8_t raw[96];
    acc.Serialize(raw);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), raw));
  }

  // Infinity: exactly c0 00 ... 00.
  std::vector<uint8_t> inf(96, 0);
  inf[0] = 0xc0;
  EXPECT_TRUE(bls::G2Element::FromBytes(inf).GetPoint().IsInfinity());
  EXPECT_EQ(bls::G2Element().Serialize(), inf);
  auto bad = inf;
  bad[0] = 0xe0;  // infinity with the sign flag
  EXPECT_TRUE(Refused(bad));
  bad = inf;
  bad[95] = 1;  // infinity with coordinates
  EXPECT_TRUE(Refused(bad));
  bad = inf;
  bad[0] = 0x40;  // infinity without the compressed flag
  EXPECT_TRUE(Refused(bad));
  EXPECT_TRUE(Refused(std::vector<uint8_t>(96, 0)));

  bad = FromHex(kGeneratorHex);
  bad[0] &= 0x7f;  // not flagged compressed
  EXPECT_TRUE(Refused(bad));
  bad = FromHex(kGeneratorHex);
  bad[0] |= 0x40;  // infinity flag on a finite point
  EXPECT_TRUE(Refused(bad));
  bad = FromHex(kGeneratorHex);
  bad.pop_back();
  EXPECT_TRUE(Refused(bad));
  EXPECT_THROW(bls::G2Element::FromBytes(std::vector<uint8_t>(97, 0)), std::invalid_argument);

  // A coordinate equal to p (x.c1 in the first half, x.c0 in the second).
  const std::vector<uint8_t> p = FromHex(
      "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153ffffb9feffffffff"
      "aaab");
  bad = FromHex(kGeneratorHex);
  std::copy(p.begin(), p.end(), bad.begin());
  bad[0] |= 0x80;
  EXPECT_TRUE(Refused(bad));
  bad = FromHex(kGeneratorHex);
  std::copy(p.begin(), p.end(), bad.begin() + 48);
  EXPECT_TRUE(Refused(bad));

  // An x with no curve point: search upwards from the generator's x.
  bad = FromHex(kGeneratorHex);
  int tries = 0;
  do {
    ++bad[95];
    ++tries;
  } while (bls::G2Point::FromCompressedOnCurve(std::span<const uint8_t, 96>(bad.data(), 96)) &&
           tries < 64);
  ASSERT_LT(tries, 64);
  EXPECT_TRUE(Refused(bad));

  // A curve point outside G2: the plain map output has the cofactor left in.
  const auto u = bls::HashToFieldFp2(std::vector<uint8_t>{1, 2, 3}, std::vector<uint8_t>{'T'});
  const bls::G2Point off = bls::MapToCurveG2(u[0]);
  ASSERT_TRUE(off.IsOnCurve());
  const auto offBytes = off.ToCompressed();
  EXPECT_TRUE(bls::G2Point::FromCompressedOnCurve(offBytes).has_value());
  EXPECT_FALSE(bls::G2Point::FromCompressed(offBytes).has_value());
  EXPECT_TRUE(Refused(std::vector<uint8_t>(offBytes.begin(), offBytes.end())));
}

TEST(BlsSignatures, BasicSchemeKnownAnswers) {
  const bls::PrivateKey sk0 = bls::AugSchemeMPL().KeyGen(std::vector<uint8_t>(32, 0));
  EXPECT_EQ(
      ToHex(blstest::SignWithDst(sk0, std::vector<uint8_t>{7, 8, 9}, kBasicDst).Serialize()),
      "b8faa6d6a3881c9fdbad803b170d70ca5cbf1e6ba5a586262df368c75acd1d1ffa3ab6ee21c71f8444946598"
      "78f5eb230c958dd576b08b8564aad2ee0992e85a1e565f299cd53a285de729937f70dc176a1f01432129bb2b"
      "94d3d5031f8065a1");
  const bls::PrivateKey sk1 = bls::PrivateKey::FromBytes(std::vector<uint8_t>(32, 1));
  EXPECT_EQ(
      ToHex(
          blstest::SignWithDst(sk1, std::vector<uint8_t>{3, 1, 4, 1, 5, 9}, kBasicDst).Serialize()),
      "96ba34fac33c7f129d602a0bc8a3d43f9abc014eceaab7359146b4b150e57b808645738f35671e9e10e0d862"
      "a30cab70074eb5831d13e6a5b162d01eebe687d0164adbd0a864370a7c222a2768d7704da254f1bf1823665b"
      "c2361f9dd8c00e99");
}

TEST(BlsSignatures, AugmentedSchemeKnownAnswerAndVerify) {
  bls::AugSchemeMPL scheme;
  const bls::PrivateKey sk1 = scheme.KeyGen(std::vector<uint8_t>(32, 2));
  const bls::PrivateKey sk2 = scheme.KeyGen(std::vector<uint8_t>(32, 3));
  const std::vector<uint8_t> m1 = {1, 2, 3, 40}, m2 = {5, 6, 70, 201}, m3 = {9, 10, 11, 12, 13},
                             m4 = {15, 63, 244, 92, 0, 1};
  struct Item {
    const bls::PrivateKey* sk;
    const std::vector<uint8_t>* msg;
  };
  const Item items[] = {{&sk1, &m1}, {&sk2, &m2}, {&sk2, &m1},
                        {&sk1, &m3}, {&sk1, &m1}, {&sk1, &m4}};
  bls::G2Element sum;
  for (const Item& it : items) {
    const bls::G2Element sig = blstest::AugSign(*it.sk, *it.msg);
    EXPECT_TRUE(bls::AugSchemeMPL::Verify(it.sk->GetG1Element(), *it.msg, sig));
    // Round trip through bytes, as a received signature arrives.
    EXPECT_TRUE(bls::AugSchemeMPL::Verify(it.sk->GetG1Element(), *it.msg,
                                          bls::G2Element::FromBytes(sig.Serialize())));
    sum += sig;
  }
  EXPECT_EQ(
      ToHex(sum.Serialize()),
      "a1d5360dcb418d33b29b90b912b4accde535cf0e52caf467a005dc632d9f7af44b6c4e9acd46eac218b28cdb"
      "07a3e3bc087df1cd1e3213aa4e11322a3ff3847bbba0b2fd19ddc25ca964871997b9bceeab37a4c2565876da"
      "19382ea32a962200");

  const bls::G1Element pk1 = sk1.GetG1Element(), pk2 = sk2.GetG1Element();
  const bls::G2Element sig = blstest::AugSign(sk1, m1);
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m2, sig));  // wrong message
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk2, m1, sig));  // wrong key
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, sum));  // wrong signature
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, sig + bls::G2Element::Generator()));
  // The same key and message under the basic scheme's tag, or without the key prefix.
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, blstest::SignWithDst(sk1, m1, kBasicDst)));
  EXPECT_FALSE(
      bls::AugSchemeMPL::Verify(pk1, m1, blstest::SignWithDst(sk1, m1, bls::AugSchemeMPL::kDst)));
  // Infinity never verifies, not even against the key at infinity.
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::G2Element()));
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(bls::G1Element(), m1, bls::G2Element()));
  // A point outside G2 built directly (bypassing decoding) is refused by Verify itself.
  const auto u = bls::HashToFieldFp2(m1, std::vector<uint8_t>{'X'});
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::G2Element(bls::MapToCurveG2(u[0]))));
  // Signatures as received bytes: refusals of the decoder become false.
  EXPECT_TRUE(bls::AugSchemeMPL::Verify(pk1, m1, bls::Bytes(sig.Serialize())));
  std::vector<uint8_t> raw = sig.Serialize();
  raw[0] ^= 0x20;  // the negated signature
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::Bytes(raw)));
  raw[0] &= 0x7f;  // not a valid encoding
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::Bytes(raw)));
  raw = sig.Serialize();
  raw.pop_back();
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::Bytes(raw)));
  std::vector<uint8_t> infinity(96, 0);
  infinity[0] = 0xc0;
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::Bytes(infinity)));
  const auto off = bls::MapToCurveG2(u[1]).ToCompressed();
  EXPECT_FALSE(bls::AugSchemeMPL::Verify(pk1, m1, bls::Bytes(off)));
  // Empty message.
  const std::vector<uint8_t> empty;
  EXPECT_TRUE(bls::AugSchemeMPL::Verify(pk2, empty, blstest::AugSign(sk2, empty)));
}

}  // namespace
