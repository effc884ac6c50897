#pragma once
// The BLS12-381 group G1: points of y^2 = x^3 + 4 over Fp, in Jacobian coordinates
// (x = X/Z^2, y = Y/Z^3; Z = 0 is the point at infinity).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "chia/bls/fp.h"
#include "chia/bls/scalar.h"

namespace bls {

struct G1Affine {
  Fp x;
  Fp y;
  bool infinity = true;
};

class G1Point {
 public:
  static constexpr size_t kCompressedBytes = 48;
  using Compressed = std::array<uint8_t, kCompressedBytes>;

  G1Point() : x_(Fp::One()), y_(Fp::One()), z_() {}  // infinity

  static G1Point Infinity() { return G1Point(); }
  static G1Point Generator();
  static G1Point FromAffine(const G1Affine& a);
  // Accepts any affine pair, checked by neither the curve equation nor the subgroup.
  static G1Point FromAffineUnchecked(const Fp& x, const Fp& y);

  // The 48-byte compressed form; decoding refuses non-canonical flags, x >= p, points off the
  // curve and points outside the prime-order subgroup.
  Compressed ToCompressed() const;
  static std::optional<G1Point> FromCompressed(std::span<const uint8_t, kCompressedBytes> in);
  // Like FromCompressed without the subgroup check (the caller clears the cofactor).
  static std::optional<G1Point> FromCompressedOnCurve(
      std::span<const uint8_t, kCompressedBytes> in);

  G1Affine ToAffine() const;
  bool IsInfinity() const { return z_.IsZero(); }
  bool IsOnCurve() const;
  bool IsInSubgroup() const;

  G1Point operator+(const G1Point& o) const;  // handles every case, branch-free
  G1Point& operator+=(const G1Point& o) { return *this = *this + o; }
  G1Point operator-() const;
  G1Point Double() const;
  G1Point AddAffine(const G1Affine& a) const;  // mixed addition, branch-free
  // Mixed addition for a caller that knows this != a (either may be infinity, or this == -a).
  G1Point AddAffineDistinct(const G1Affine& a) const;

  // Constant-time multiplication by a secret scalar (fixed 4-bit windows, masked lookups).
  G1Point Mul(const Scalar& k) const;
  // Multiplication by a public integer (little-endian limbs); time depends on its bits.
  G1Point MulPublic(std::span<const uint64_t> k) const;
  // Constant-time k x generator through a precomputed table.
  static G1Point MulGenerator(const Scalar& k);
  // Multiplication by the effective cofactor 0xd201000000010001, mapping the curve into G1.
  G1Point ClearCofactor() const;

  bool operator==(const G1Point& o) const;
  bool operator!=(const G1Point& o) const { return !(*this == o); }

  static G1Point Select(const G1Point& a, const G1Point& b, bool chooseB);

  const Fp& X() const { return x_; }
  const Fp& Y() const { return y_; }
  const Fp& Z() const { return z_; }

 private:
  Fp x_, y_, z_;
};

// Builds the generator table ahead of first use.
void PrecomputeG1Tables();

}  // namespace bls
