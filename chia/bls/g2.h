#pragma once
// The BLS12-381 group G2: points of the twist y^2 = x^3 + 4(1 + u) over Fp2, in Jacobian
// coordinates (x = X/Z^2, y = Y/Z^3; Z = 0 is the point at infinity). Everything here works on
// public values (signatures, message hashes), so the arithmetic may branch on them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "chia/bls/fp2.h"

namespace bls {

struct G2Affine {
  Fp2 x;
  Fp2 y;
  bool infinity = true;
};

class G2Point {
 public:
  static constexpr size_t kCompressedBytes = 96;
  using Compressed = std::array<uint8_t, kCompressedBytes>;

  G2Point() : x_(Fp2::One()), y_(Fp2::One()), z_() {}  // infinity

  static G2Point Infinity() { return G2Point(); }
  static G2Point Generator();
  static G2Point FromAffine(const G2Affine& a);
  // The curve constant b' = 4(1 + u).
  static Fp2 CurveB();

  // The 96-byte compressed form: x.c1 then x.c0, big-endian, flags in the top three bits
  // (0x80 compressed, 0x40 infinity, 0x20 y is the lexicographically larger root). Decoding
  // refuses other flag combinations, coordinates >= p, x without a curve point and, in
  // FromCompressed, points outside the prime-order subgroup.
  Compressed ToCompressed() const;
  static std::optional<G2Point> FromCompressed(std::span<const uint8_t, kCompressedBytes> in);
  static std::optional<G2Point> FromCompressedOnCurve(
      std::span<const uint8_t, kCompressedBytes> in);

  G2Affine ToAffine() const;
  bool IsInfinity() const { return z_.IsZero(); }
  bool IsOnCurve() const;
  // Whether r times the point is the point at infinity.
  bool IsInSubgroup() const;

  G2Point operator+(const G2Point& o) const;
  G2Point& operator+=(const G2Point& o) { return *this = *this + o; }
  G2Point operator-() const { return G2Point(x_, -y_, z_); }
  G2Point Double() const;
  // Multiplication by a public integer given as little-endian limbs.
  G2Point MulPublic(std::span<const uint64_t> k) const;
  // Multiplication by the effective cofactor of hashing to G2, mapping the twist into G2.
  G2Point ClearCofactor() const;

  bool operator==(const G2Point& o) const;
  bool operator!=(const G2Point& o) const { return !(*this == o); }

  const Fp2& X() const { return x_; }
  const Fp2& Y() const { return y_; }
  const Fp2& Z() const { return z_; }

 private:
  G2Point(const Fp2& x, const Fp2& y, const Fp2& z) : x_(x), y_(y), z_(z) {}

  Fp2 x_, y_, z_;
};

}  // namespace bls
