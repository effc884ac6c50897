#pragma once
// Cubic extension Fp6 = Fp2[v] / (v^3 - xi) with xi = 1 + u.

#include <array>

#include "chia/bls/fp2.h"

namespace bls {

struct Fp6 {
  Fp2 c0;  // coefficient of 1
  Fp2 c1;  // coefficient of v
  Fp2 c2;  // coefficient of v^2

  static Fp6 Zero() { return {}; }
  static Fp6 One() { return {Fp2::One(), Fp2::Zero(), Fp2::Zero()}; }

  Fp6 operator+(const Fp6& o) const { return {c0 + o.c0, c1 + o.c1, c2 + o.c2}; }
  Fp6 operator-(const Fp6& o) const { return {c0 - o.c0, c1 - o.c1, c2 - o.c2}; }
  Fp6 operator-() const { return {-c0, -c1, -c2}; }
  Fp6 operator*(const Fp6& o) const;
  Fp6 operator*(const Fp2& k) const { return {c0 * k, c1 * k, c2 * k}; }
  Fp6 Square() const { return *this * *this; }
  // Multiplication by v, the non-residue under the quadratic step to Fp12.
  Fp6 MulByNonResidue() const { return {c2.MulByNonResidue(), c0, c1}; }
  Fp6 Inverse() const;
  // The p-power Frobenius map.
  Fp6 Frobenius() const;

  bool IsZero() const { return c0.IsZero() && c1.IsZero() && c2.IsZero(); }
  bool operator==(const Fp6& o) const { return c0 == o.c0 && c1 == o.c1 && c2 == o.c2; }
  bool operator!=(const Fp6& o) const { return !(*this == o); }
};

// gamma[i] = xi^(i (p - 1) / 6) for i = 0..5: the Frobenius map sends c w^i (c in Fp2, w^6 = xi)
// to conj(c) gamma[i] w^i.
const std::array<Fp2, 6>& FrobeniusGammas();

}  // namespace bls
