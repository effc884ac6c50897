// Extension-field towers, G2 arithmetic and the pairing, checked against their algebraic laws.
#include "chia/bls/pairing.h"

#include <gtest/gtest.h>

#include <array>
#include <random>

#include "chia/bls/scalar.h"

namespace {

using bls::Fp;
using bls::Fp12;
using bls::Fp2;
using bls::Fp6;
using bls::G1Point;
using bls::G2Point;

constexpr std::array<uint64_t, 4> kOrder = bls::Scalar::kOrder;

class Random {
 public:
  explicit Random(uint64_t seed) : gen_(seed) {}
  uint64_t U64() { return gen_(); }
  Fp NextFp() {
    std::array<uint8_t, 64> bytes;
    for (auto& b : bytes) b = static_cast<uint8_t>(gen_());
    return Fp::FromBytesReduce(bytes);
  }
  Fp2 NextFp2() { return {NextFp(), NextFp()}; }
  Fp6 NextFp6() { return {NextFp2(), NextFp2(), NextFp2()}; }
  Fp12 NextFp12() { return {NextFp6(), NextFp6()}; }

 private:
  std::mt19937_64 gen_;
};

TEST(BlsTower, FieldLawsAndFrobenius) {
  Random rnd(1);
  for (int i = 0; i < 4; ++i) {
    const Fp2 a = rnd.NextFp2(), b = rnd.NextFp2();
    EXPECT_TRUE((a * b) * a.Inverse() == b);
    EXPECT_TRUE(a.Square() == a * a);
    EXPECT_TRUE(a * (b + Fp2::One()) == a * b + a);
    // u^2 = -1 and xi = 1 + u.
    const Fp2 u{Fp::Zero(), Fp::One()};
    EXPECT_TRUE(u.Square() == -Fp2::One());
    EXPECT_TRUE(a.MulByNonResidue() == a * (Fp2::One() + u));

    // Square roots: squares have one, xi times a square (xi has norm 2, a non-square) has none.
    const Fp2 sq = a.Square();
    const auto root = sq.Sqrt();
    ASSERT_TRUE(root.has_value());
    EXPECT_TRUE(root->Square() == sq);
    EXPECT_FALSE((sq.MulByNonResidue()).Sqrt().has_value());
    const Fp2 real{a.c0.Square(), Fp::Zero()};
    EXPECT_TRUE(real.Sqrt().has_value() && real.Sqrt()->Square() == real);
    const Fp2 minus_real = -real;  // root lies on the u axis
    EXPECT_TRUE(minus_real.Sqrt().has_value() && minus_real.Sqrt()->Square() == minus_real);

    const Fp6 c = rnd.NextFp6(), d = rnd.NextFp6();
    EXPECT_TRUE(c * c.Inverse() == Fp6::One());
    EXPECT_TRUE((c * d) * d.Inverse() == c);
    // v^3 = xi.
    const Fp6 v{Fp2::Zero(), Fp2::One(), Fp2::Zero()};
    EXPECT_TRUE(v * v * v == (Fp6{Fp2::One().MulByNonResidue(), Fp2::Zero(), Fp2::Zero()}));
    EXPECT_TRUE(c.MulByNonResidue() == c * v);

    const Fp12 e = rnd.NextFp12(), f = rnd.NextFp12();
    EXPECT_TRUE(e * e.Inverse() == Fp12::One());
    EXPECT_TRUE(e.Square() == e * f * f.Inverse() * e);
    EXPECT_TRUE((e * f).Frobenius() == e.Frobenius() * f.Frobenius());
  }
  // The Frobenius maps against plain exponentiation by p.
  const Fp12 e = rnd.NextFp12();
  const Fp6 c = rnd.NextFp6();
  const Fp2 a = rnd.NextFp2();
  EXPECT_TRUE(e.Frobenius() == e.Pow(Fp::kModulus));
  EXPECT_TRUE(c.Frobenius() == (Fp12{c, Fp6::Zero()}).Pow(Fp::kModulus).c0);
  EXPECT_TRUE(a.Conjugate() == a.Pow(Fp::kModulus));
  // Six Frobenius steps are p^6, which is conjugation on Fp12.
  Fp12 g = e;
  for (int i = 0; i < 6; ++i) g = g.Frobenius();
  EXPECT_TRUE(g == e.Conjugate());
}

TEST(BlsG2, GroupLaw) {
  const G2Point g = G2Point::Generator();
  ASSERT_TRUE(g.IsOnCurve());
  ASSERT_TRUE(g.IsInSubgroup());
  const G2Point g2 = g.Double(), g3 = g2 + g;
  EXPECT_TRUE(g + g == g2);
  EXPECT_TRUE(g3 + (-g) == g2);
  EXPECT_TRUE((g2 + g3).IsOnCurve());
  EXPECT_TRUE((g + (-g)).IsInfinity());
  EXPECT_TRUE(g + G2Point::Infinity() == g);
  const std::array<uint64_t, 1> five = {5};
  EXPECT_TRUE(g.MulPublic(five) == g3 + g2);
  EXPECT_TRUE(g.MulPublic(kOrder).IsInfinity());
  auto order_minus_one = kOrder;
  order_minus_one[0] -= 1;
  EXPECT_TRUE(g.MulPublic(order_minus_one) == -g);
  EXPECT_TRUE(G2Point::FromAffine(g3.ToAffine()) == g3);
}

TEST(BlsPairing, Bilinearity) {
  Random rnd(7);
  const G1Point p = G1Point::Generator();
  const G2Point q = G2Point::Generator();
  const Fp12 base = bls::Pairing(p, q);
  EXPECT_FALSE(base.IsOne());  // non-degenerate
  EXPECT_TRUE(base.Pow(kOrder).IsOne());

  const std::array<uint64_t, 1> a = {rnd.U64()}, b = {rnd.U64()};
  const unsigned __int128 ab = static_cast<unsigned __int128>(a[0]) * b[0];
  const std::array<uint64_t, 2> ab_limbs = {static_cast<uint64_t>(ab),
                                            static_cast<uint64_t>(ab >> 64)};
  const G1Point pa = p.MulPublic(a);
  const G2Point qb = q.MulPublic(b);
  EXPECT_TRUE(bls::Pairing(pa, qb) == base.Pow(ab_limbs));
  EXPECT_TRUE(bls::Pairing(pa, q) == bls::Pairing(p, q.MulPublic(a)));
  // Linear in the second argument, and the product check sees e(aP, Q) e(-P, aQ) = 1.
  EXPECT_TRUE(bls::Pairing(p, q + qb) == base * bls::Pairing(p, qb));
  EXPECT_TRUE(bls::PairingProductIsOne(pa, q, -p, q.MulPublic(a)));
  EXPECT_FALSE(bls::PairingProductIsOne(pa, q, -p, qb));
  EXPECT_TRUE(bls::Pairing(G1Point::Infinity(), q).IsOne());
  EXPECT_TRUE(bls::Pairing(p, G2Point::Infinity()).IsOne());
}

}  // namespace
