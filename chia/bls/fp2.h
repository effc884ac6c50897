#pragma once
// Quadratic extension Fp2 = Fp[u] / (u^2 + 1), the field of the G2 coordinates.

#include <optional>
#include <span>

#include "chia/bls/fp.h"

namespace bls {

struct Fp2 {
  Fp c0;  // real part
  Fp c1;  // coefficient of u

  static Fp2 Zero() { return {}; }
  static Fp2 One() { return {Fp::One(), Fp::Zero()}; }

  Fp2 operator+(const Fp2& o) const { return {c0 + o.c0, c1 + o.c1}; }
  Fp2 operator-(const Fp2& o) const { return {c0 - o.c0, c1 - o.c1}; }
  Fp2 operator-() const { return {-c0, -c1}; }
  Fp2 operator*(const Fp2& o) const;
  Fp2 operator*(const Fp& k) const { return {c0 * k, c1 * k}; }
  Fp2& operator+=(const Fp2& o) { return *this = *this + o; }
  Fp2& operator-=(const Fp2& o) { return *this = *this - o; }
  Fp2& operator*=(const Fp2& o) { return *this = *this * o; }
  Fp2 Square() const;
  Fp2 Double() const { return {c0.Double(), c1.Double()}; }
  // Multiplication by xi = 1 + u, the non-residue under the sextic tower.
  Fp2 MulByNonResidue() const { return {c0 - c1, c0 + c1}; }
  // Complex conjugate, which is also the p-power Frobenius map.
  Fp2 Conjugate() const { return {c0, -c1}; }
  // Multiplicative inverse; zero maps to zero.
  Fp2 Inverse() const;
  // this^e for a little-endian exponent (variable time: exponents here are public).
  Fp2 Pow(std::span<const uint64_t> e) const;
  // A square root, empty when this is not a square.
  std::optional<Fp2> Sqrt() const;

  bool IsZero() const { return c0.IsZero() && c1.IsZero(); }
  bool operator==(const Fp2& o) const { return c0 == o.c0 && c1 == o.c1; }
  bool operator!=(const Fp2& o) const { return !(*this == o); }

  // The encoding sign of a y coordinate: c1 decides unless it is zero.
  bool IsLexicographicallyLargest() const;
  // The hash-to-curve sign: parity of c0, or of c1 when c0 is zero.
  bool Sgn0() const;
};

}  // namespace bls
