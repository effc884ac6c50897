#include "chia/bls/fp12.h"

namespace bls {

Fp12 Fp12::operator*(const Fp12& o) const {
  const Fp6 t0 = c0 * o.c0;
  const Fp6 t1 = c1 * o.c1;
  return {t0 + t1.MulByNonResidue(), (c0 + c1) * (o.c0 + o.c1) - t0 - t1};
}

Fp12 Fp12::Square() const {
  // (a + bw)^2 = (a + b)(a + vb) - ab - v ab + 2ab w
  const Fp6 ab = c0 * c1;
  const Fp6 r0 = (c0 + c1) * (c0 + c1.MulByNonResidue()) - ab - ab.MulByNonResidue();
  return {r0, ab + ab};
}

Fp12 Fp12::Inverse() const {
  const Fp6 detInv = (c0.Square() - c1.Square().MulByNonResidue()).Inverse();
  return {c0 * detInv, -(c1 * detInv)};
}

Fp12 Fp12::Frobenius() const {
  // c1 holds the odd powers w^(2j+1): one more factor gamma[1] than the even ones in c0.
  return {c0.Frobenius(), c1.Frobenius() * FrobeniusGammas()[1]};
}

Fp12 Fp12::Pow(std::span<const uint64_t> e) const {
  Fp12 acc = One();
  for (size_t i = e.size(); i-- > 0;) {
    for (int bit = 63; bit >= 0; --bit) {
      acc = acc.Square();
      if ((e[i] >> bit) & 1) acc = acc * *this;
    }
  }
  return acc;
}

}  // namespace bls
