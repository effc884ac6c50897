#pragma once
// Quadratic extension Fp12 = Fp6[w] / (w^2 - v), the target group of the pairing.

#include <cstdint>
#include <span>

#include "chia/bls/fp6.h"

namespace bls {

struct Fp12 {
  Fp6 c0;  // coefficient of 1
  Fp6 c1;  // coefficient of w

  static Fp12 One() { return {Fp6::One(), Fp6::Zero()}; }

  Fp12 operator*(const Fp12& o) const;
  Fp12& operator*=(const Fp12& o) { return *this = *this * o; }
  Fp12 Square() const;
  Fp12 Inverse() const;
  // The p^6-power Frobenius map; the inverse on the cyclotomic subgroup.
  Fp12 Conjugate() const { return {c0, -c1}; }
  // The p-power Frobenius map.
  Fp12 Frobenius() const;
  // this^e for a little-endian exponent (variable time: exponents here are public).
  Fp12 Pow(std::span<const uint64_t> e) const;

  bool IsOne() const { return *this == One(); }
  bool operator==(const Fp12& o) const { return c0 == o.c0 && c1 == o.c1; }
  bool operator!=(const Fp12& o) const { return !(*this == o); }
};

}  // namespace bls
