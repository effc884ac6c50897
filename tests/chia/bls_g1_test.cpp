// The compressed G1 encoding and its refusals.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "chia/bls/g1.h"
#include "chia/bls/g1_element.h"
#include "tests/chia/bls_test_support.h"

namespace {

using bls::Fp;
using bls::G1Point;

std::array<uint8_t, 48> ToArray(const std::vector<uint8_t>& v) {
  std::array<uint8_t, 48> a{};
  std::copy(v.begin(), v.end(), a.begin());
  return a;
}

TEST(BlsG1, DecodingRefusesInvalidEncodings) {
  const auto valid = ToArray(FromHex(
      "85695fcbc06cc4c4c9451f4dce21cbf8de3e5a13bf48f44cdbb18e2038ba7b8bb1632d7911ef1e2e08749bddbf"
      "165352"));
  ASSERT_TRUE(G1Point::FromCompressed(valid).has_value());
  // Flags and the forms of infinity are compared with the oracle's decoder elsewhere.

  // x = p and x = 2^381 - 1 are not field elements.
  auto xIsP = ToArray(FromHex(
      "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153ffffb9feffffff"
      "ffaaab"));
  xIsP[0] |= 0x80;
  EXPECT_FALSE(G1Point::FromCompressedOnCurve(xIsP));
  std::array<uint8_t, 48> ones;
  ones.fill(0xff);
  ones[0] = 0x9f;
  EXPECT_FALSE(G1Point::FromCompressedOnCurve(ones));

  // x = 0 gives (0, +-2): on the curve but outside the prime-order subgroup.
  std::array<uint8_t, 48> x0{};
  x0[0] = 0x80;
  auto onCurve = G1Point::FromCompressedOnCurve(x0);
  ASSERT_TRUE(onCurve.has_value());
  EXPECT_TRUE(onCurve->IsOnCurve());
  EXPECT_FALSE(onCurve->IsInSubgroup());
  EXPECT_FALSE(G1Point::FromCompressed(x0));
  EXPECT_TRUE(onCurve->ClearCofactor().IsInSubgroup());
  EXPECT_THROW(bls::G1Element::FromBytes(x0), std::invalid_argument);

  // Off the curve: x with x^3 + 4 not a square is refused, x with a square is accepted on the
  // curve.
  int off = 0, on = 0;
  for (uint64_t x = 1; x < 40; ++x) {
    auto enc = Fp::FromU64(x).ToBytes();
    enc[0] |= 0x80;
    Fp fx = Fp::FromU64(x);
    bool square = (fx.Square() * fx + Fp::FromU64(4)).IsSquare();
    EXPECT_EQ(G1Point::FromCompressedOnCurve(enc).has_value(), square) << x;
    EXPECT_FALSE(G1Point::FromCompressed(enc).has_value()) << x;
    (square ? on : off)++;
  }
  EXPECT_GT(off, 0);
  EXPECT_GT(on, 0);

  // Lengths.
  std::vector<uint8_t> v(valid.begin(), valid.end());
  EXPECT_NO_THROW(bls::G1Element::FromByteVector(v));
  v.push_back(0);
  EXPECT_THROW(bls::G1Element::FromByteVector(v), std::invalid_argument);
  v.resize(47);
  EXPECT_THROW(bls::G1Element::FromByteVector(v), std::invalid_argument);
}

}  // namespace
