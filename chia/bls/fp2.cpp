#include "chia/bls/fp2.h"

namespace bls {

Fp2 Fp2::operator*(const Fp2& o) const {
  // Karatsuba: three base-field products.
  const Fp t0 = c0 * o.c0;
  const Fp t1 = c1 * o.c1;
  const Fp cross = (c0 + c1) * (o.c0 + o.c1);
  return {t0 - t1, cross - t0 - t1};
}

Fp2 Fp2::Square() const {
  // (a + bu)^2 = (a + b)(a - b) + 2ab u
  const Fp ab = c0 * c1;
  return {(c0 + c1) * (c0 - c1), ab.Double()};
}

Fp2 Fp2::Inverse() const {
  // 1 / (a + bu) = (a - bu) / (a^2 + b^2)
  const Fp normInv = (c0.Square() + c1.Square()).Inverse();
  return {c0 * normInv, -(c1 * normInv)};
}

Fp2 Fp2::Pow(std::span<const uint64_t> e) const {
  Fp2 acc = One();
  for (size_t i = e.size(); i-- > 0;) {
    for (int bit = 63; bit >= 0; --bit) {
      acc = acc.Square();
      if ((e[i] >> bit) & 1) acc = acc * *this;
    }
  }
  return acc;
}

std::optional<Fp2> Fp2::Sqrt() const {
  if (c1.IsZero()) {
    // -1 is not a square in Fp, so exactly one of c0 and -c0 has a root there.
    if (auto r = c0.Sqrt()) return Fp2{*r, Fp::Zero()};
    if (auto r = (-c0).Sqrt()) return Fp2{Fp::Zero(), *r};
    return std::nullopt;
  }
  // With x = a + bu: a^2 = (c0 +- |this|) / 2 where |this| = sqrt(c0^2 + c1^2), and b = c1 / 2a.
  // The two candidates multiply to -c1^2 / 4, a non-square, so exactly one is a square.
  const auto normRoot = (c0.Square() + c1.Square()).Sqrt();
  if (!normRoot) return std::nullopt;
  const Fp half = Fp::FromU64(2).Inverse();
  auto a = ((c0 + *normRoot) * half).Sqrt();
  if (!a) a = ((c0 - *normRoot) * half).Sqrt();
  if (!a) return std::nullopt;
  const Fp2 root{*a, c1 * (a->Double()).Inverse()};
  if (root.Square() != *this) return std::nullopt;
  return root;
}

bool Fp2::IsLexicographicallyLargest() const {
  return c1.IsZero() ? c0.IsLexicographicallyLargest() : c1.IsLexicographicallyLargest();
}

bool Fp2::Sgn0() const { return c0.Sgn0() || (c0.IsZero() && c1.Sgn0()); }

}  // namespace bls
