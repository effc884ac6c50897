#include "chia/bls/fp6.h"

namespace bls {

Fp6 Fp6::operator*(const Fp6& o) const {
  // Karatsuba over three coefficients, folding v^3 = xi.
  const Fp2 t0 = c0 * o.c0;
  const Fp2 t1 = c1 * o.c1;
  const Fp2 t2 = c2 * o.c2;
  const Fp2 r0 = ((c1 + c2) * (o.c1 + o.c2) - t1 - t2).MulByNonResidue() + t0;
  const Fp2 r1 = (c0 + c1) * (o.c0 + o.c1) - t0 - t1 + t2.MulByNonResidue();
  const Fp2 r2 = (c0 + c2) * (o.c0 + o.c2) - t0 - t2 + t1;
  return {r0, r1, r2};
}

Fp6 Fp6::Inverse() const {
  const Fp2 a = c0.Square() - (c1 * c2).MulByNonResidue();
  const Fp2 b = c2.Square().MulByNonResidue() - c0 * c1;
  const Fp2 c = c1.Square() - c0 * c2;
  const Fp2 det = c0 * a + (c2 * b + c1 * c).MulByNonResidue();
  const Fp2 detInv = det.Inverse();
  return {a * detInv, b * detInv, c * detInv};
}

Fp6 Fp6::Frobenius() const {
  // v = w^2, so the coefficient of v^j takes gamma[2j].
  const auto& g = FrobeniusGammas();
  return {c0.Conjugate(), c1.Conjugate() * g[2], c2.Conjugate() * g[4]};
}

const std::array<Fp2, 6>& FrobeniusGammas() {
  static const std::array<Fp2, 6> kGammas = [] {
    // (p - 1) / 6 by long division over the little-endian limbs of p - 1.
    Fp::Limbs e = Fp::kModulus;
    e[0] -= 1;  // p is odd, so no borrow
    unsigned __int128 rem = 0;
    for (size_t i = e.size(); i-- > 0;) {
      const unsigned __int128 cur = (rem << 64) | e[i];
      e[i] = static_cast<uint64_t>(cur / 6);
      rem = cur % 6;
    }
    const Fp2 xi{Fp::One(), Fp::One()};
    std::array<Fp2, 6> g;
    g[0] = Fp2::One();
    g[1] = xi.Pow(e);
    for (size_t i = 2; i < g.size(); ++i) g[i] = g[i - 1] * g[1];
    return g;
  }();
  return kGammas;
}

}  // namespace bls
