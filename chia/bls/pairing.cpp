#include "chia/bls/pairing.h"

#include <array>

namespace bls {
namespace {

constexpr uint64_t kAbsX = 0xd201000000010000;  // |x|; x itself is negative

// A line evaluated at P, as a0 + a1 w^2 + a3 w^3 with w^2 = v and w^3 = v w in the tower.
Fp12 LineValue(const Fp2& a0, const Fp2& a1, const Fp2& a3) {
  Fp12 line;
  line.c0.c0 = a0;
  line.c0.c1 = a1;
  line.c1.c1 = a3;
  return line;
}

// On the twist, the line through T with slope lambda is y - yT = lambda (x - xT). Untwisted by
// (x, y) -> (x / w^2, y / w^3) and evaluated at P it is, times w^3,
//   (lambda xT - yT) - lambda xP w^2 + yP w^3.
// Factors in Fp2 vanish in the final exponentiation, so each line below is scaled by the
// denominator of lambda, which keeps T in Jacobian coordinates without inversions.

// Tangent at T = (X, Y, Z): lambda = 3X^2 / (2YZ); scaled by 2YZ^3.
Fp12 TangentLine(const G2Point& t, const G1Affine& p) {
  const Fp2 x2 = t.X().Square();
  const Fp2 z2 = t.Z().Square();
  const Fp2 threeX2 = x2.Double() + x2;
  return LineValue(threeX2 * t.X() - t.Y().Square().Double(), -(threeX2 * z2 * p.x),
                   (t.Y() * z2 * t.Z()).Double() * p.y);
}

// Chord through T and affine Q: lambda = R / (Z H), H = xQ Z^2 - X, R = yQ Z^3 - Y; scaled by ZH
// and written around Q.
Fp12 ChordLine(const G2Point& t, const G2Affine& q, const G1Affine& p) {
  const Fp2 z2 = t.Z().Square();
  const Fp2 h = q.x * z2 - t.X();
  const Fp2 r = q.y * z2 * t.Z() - t.Y();
  const Fp2 zh = t.Z() * h;
  return LineValue(r * q.x - q.y * zh, -(r * p.x), zh * p.y);
}

// f^x for f in the cyclotomic subgroup, where the inverse is the conjugate.
Fp12 CyclotomicPowX(const Fp12& f) {
  const std::array<uint64_t, 1> e = {kAbsX};
  return f.Pow(e).Conjugate();
}

}  // namespace

Fp12 MillerLoop(const G1Affine& p, const G2Affine& q) {
  Fp12 f = Fp12::One();
  if (p.infinity || q.infinity) return f;
  // T runs through multiples kQ with 1 < k < |x| < r after the first doubling, so neither a
  // vertical tangent nor T = -Q can occur.
  const G2Point qp = G2Point::FromAffine(q);
  G2Point t = qp;
  for (int bit = 62; bit >= 0; --bit) {
    f = f.Square() * TangentLine(t, p);
    t = t.Double();
    if ((kAbsX >> bit) & 1) {
      f *= ChordLine(t, q, p);
      t += qp;
    }
  }
  return f.Conjugate();  // x < 0: f_{-|x|} equals 1 / f_{|x|} up to factors the exponent kills
}

Fp12 FinalExponentiation(const Fp12& f) {
  // Easy part: f^((p^6 - 1)(p^2 + 1)).
  Fp12 g = f.Conjugate() * f.Inverse();
  g = g.Frobenius().Frobenius() * g;
  // Hard part: g^((x - 1)^2 (x + p)(x^2 + p^2 - 1) + 3) = g^(3 (p^4 - p^2 + 1) / r).
  Fp12 a = CyclotomicPowX(g) * g.Conjugate();
  a = CyclotomicPowX(a) * a.Conjugate();
  const Fp12 b = CyclotomicPowX(a) * a.Frobenius();
  const Fp12 c = CyclotomicPowX(CyclotomicPowX(b)) * b.Frobenius().Frobenius() * b.Conjugate();
  return c * g.Square() * g;
}

Fp12 Pairing(const G1Point& p, const G2Point& q) {
  return FinalExponentiation(MillerLoop(p.ToAffine(), q.ToAffine()));
}

bool PairingProductIsOne(const G1Point& p1, const G2Point& q1, const G1Point& p2,
                         const G2Point& q2) {
  const Fp12 f =
      MillerLoop(p1.ToAffine(), q1.ToAffine()) * MillerLoop(p2.ToAffine(), q2.ToAffine());
  return FinalExponentiation(f).IsOne();
}

}  // namespace bls
