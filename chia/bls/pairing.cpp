#include "chia/bls/pairing.h"

#include <array>

namespace bls {
namespace {

constexpr uint64_t kAbsX = 0xd201000000010000;  // |x|; x itself is negative

// The line through T with slope lambda (on the twist), evaluated at P and scaled by w^3, which
// the final exponentiation removes. With the untwisting (x, y) -> (x / w^2, y / w^3) it reads
// (lambda xT - yT) + (-lambda xP) w^2 + yP w^3, and w^2 = v, w^3 = v w in the tower.
Fp12 LineValue(const Fp2& lambda, const Fp2& xt, const Fp2& yt, const G1Affine& p) {
  Fp12 line;
  line.c0.c0 = lambda * xt - yt;
  line.c0.c1 = -(lambda * p.x);
  line.c1.c1 = Fp2{p.y, Fp::Zero()};
  return line;
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
  // Affine steps: T stays a multiple kQ with 1 < k < |x| < r after the first doubling, so
  // neither a vertical tangent nor T = -Q can occur.
  Fp2 tx = q.x, ty = q.y;
  for (int bit = 62; bit >= 0; --bit) {
    f = f.Square();
    Fp2 lambda = (tx.Square() * Fp::FromU64(3)) * ty.Double().Inverse();
    f *= LineValue(lambda, tx, ty, p);
    Fp2 nx = lambda.Square() - tx.Double();
    ty = lambda * (tx - nx) - ty;
    tx = nx;
    if ((kAbsX >> bit) & 1) {
      lambda = (q.y - ty) * (q.x - tx).Inverse();
      f *= LineValue(lambda, tx, ty, p);
      nx = lambda.Square() - tx - q.x;
      ty = lambda * (tx - nx) - ty;
      tx = nx;
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
