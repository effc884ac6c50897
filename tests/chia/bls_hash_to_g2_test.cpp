#include "chia/bls/hash_to_g2.h"

#include <gtest/gtest.h>

#include "chia/bls/hex_constant.h"
#include "tests/support/vector_file.h"

namespace {

using bls::Fp2;
using bls::G2Point;

// "0xc0,0xc1" as the vector files write an Fp2 element.
Fp2 ParseFp2(const std::string& text) {
  const size_t comma = text.find(',');
  const auto strip = [](std::string s) { return s.rfind("0x", 0) == 0 ? s.substr(2) : s; };
  return bls::Fp2FromHex(strip(text.substr(0, comma)), strip(text.substr(comma + 1)));
}

std::vector<uint8_t> TextBytes(const std::string& text) { return {text.begin(), text.end()}; }

// Compares with the fields `<what>x` and `<what>y` of the record.
void ExpectPoint(const G2Point& p, const VectorRecord& expected, const std::string& what) {
  ASSERT_FALSE(p.IsInfinity()) << what;
  const bls::G2Affine a = p.ToAffine();
  EXPECT_TRUE(a.x == ParseFp2(expected.at(what + "x"))) << what << " x";
  EXPECT_TRUE(a.y == ParseFp2(expected.at(what + "y"))) << what << " y";
}

TEST(BlsHashToG2, PublishedVectorsStageByStage) {
  const std::vector<VectorRecord> file = LoadVectorFile("h2c_g2_ro.txt");
  ASSERT_EQ(file.size(), 6u);
  const std::vector<uint8_t> dst = TextBytes(file[0].at("dst"));
  for (size_t i = 1; i < file.size(); ++i) {
    const VectorRecord& v = file[i];
    const std::string& msgText = v.at("msg");
    SCOPED_TRACE("msg length " + std::to_string(msgText.size()));
    const std::vector<uint8_t> msg = TextBytes(msgText);
    const auto u = bls::HashToFieldFp2(msg, dst);
    EXPECT_TRUE(u[0] == ParseFp2(v.at("u0")));
    EXPECT_TRUE(u[1] == ParseFp2(v.at("u1")));
    const G2Point q0 = bls::MapToCurveG2(u[0]);
    const G2Point q1 = bls::MapToCurveG2(u[1]);
    EXPECT_TRUE(q0.IsOnCurve());
    ExpectPoint(q0, v, "q0");
    ExpectPoint(q1, v, "q1");
    const G2Point p = bls::HashToG2(msg, dst);
    ExpectPoint(p, v, "p");
    EXPECT_TRUE(p.IsInSubgroup());
    // The map alone does not land in the subgroup; the cofactor clearing does.
    EXPECT_FALSE(q0.IsInSubgroup());
  }
}

TEST(BlsHashToG2, SignOfYFollowsU) {
  // u and -u map to the same x with opposite y, chosen so that sgn0(y) = sgn0(u).
  const std::vector<uint8_t> dst = TextBytes("SIGN-TEST");
  for (int i = 0; i < 4; ++i) {
    const std::vector<uint8_t> msg(1, static_cast<uint8_t>(i));
    const Fp2 u = bls::HashToFieldFp2(msg, dst)[0];
    const G2Point a = bls::MapToCurveG2(u);
    const G2Point b = bls::MapToCurveG2(-u);
    EXPECT_TRUE(a == -b);
    EXPECT_TRUE(a.IsOnCurve() && b.IsOnCurve());
  }
  // u = 0 takes the exceptional branch of the map and must still give a curve point.
  EXPECT_TRUE(bls::MapToCurveG2(Fp2::Zero()).IsOnCurve());
}

}  // namespace
