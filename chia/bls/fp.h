#pragma once
// The BLS12-381 base field: integers modulo the 381-bit prime p, kept in Montgomery form.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace bls {

class Fp {
 public:
  static constexpr size_t kLimbs = 6;
  static constexpr size_t kBytes = 48;
  using Limbs = std::array<uint64_t, kLimbs>;
  using Bytes = std::array<uint8_t, kBytes>;

  // p, little-endian limbs.
  static constexpr Limbs kModulus = {0xb9feffffffffaaab, 0x1eabfffeb153ffff, 0x6730d2a0f6b0f624,
                                     0x64774b84f38512bf, 0x4b1ba7b6434bacd7, 0x1a0111ea397fe69a};

  Fp() = default;  // zero

  static Fp Zero() { return Fp(); }
  static Fp One();
  static Fp FromU64(uint64_t v);
  // Big-endian canonical encoding; refuses values >= p.
  static std::optional<Fp> FromBytes(std::span<const uint8_t, kBytes> in);
  static std::optional<Fp> FromBytes(const uint8_t* in48);
  // Reduces a big-endian value of any length modulo p.
  static Fp FromBytesReduce(std::span<const uint8_t> in);
  // Plain (non-Montgomery) little-endian limbs, which must be < p.
  static Fp FromCanonicalLimbs(const Limbs& v);
  // Montgomery-form limbs as stored (for precomputed constants).
  static constexpr Fp FromMontgomery(const Limbs& m) {
    Fp r;
    r.m_ = m;
    return r;
  }

  Bytes ToBytes() const;
  void ToBytes(uint8_t* out48) const;
  Limbs ToCanonicalLimbs() const;
  const Limbs& MontgomeryLimbs() const { return m_; }

  Fp operator+(const Fp& o) const;
  Fp operator-(const Fp& o) const;
  Fp operator-() const;
  Fp operator*(const Fp& o) const;
  Fp& operator+=(const Fp& o) { return *this = *this + o; }
  Fp& operator-=(const Fp& o) { return *this = *this - o; }
  Fp& operator*=(const Fp& o) { return *this = *this * o; }
  Fp Square() const;
  Fp Double() const { return *this + *this; }
  // this^e for a public little-endian exponent; time depends on the exponent, not on this.
  Fp Pow(std::span<const uint64_t> e) const;
  // Multiplicative inverse; zero maps to zero.
  Fp Inverse() const;
  // Square root by this^((p+1)/4); empty when this is not a square.
  std::optional<Fp> Sqrt() const;
  bool IsSquare() const;

  bool IsZero() const;
  bool IsOne() const;
  bool operator==(const Fp& o) const;
  bool operator!=(const Fp& o) const { return !(*this == o); }

  // True when this, as an integer in [0, p), is greater than (p-1)/2: the point-encoding sign.
  bool IsLexicographicallyLargest() const;
  // Parity of the canonical integer (the hash-to-curve sign).
  bool Sgn0() const;

  // Constant-time: returns choose_b ? b : a.
  static Fp Select(const Fp& a, const Fp& b, bool chooseB);
  // Constant-time: swaps a and b when swap is set.
  static void CondSwap(Fp& a, Fp& b, bool swap);
  // Constant-time: this = choose ? v : this.
  void CondAssign(const Fp& v, bool choose) { *this = Select(*this, v, choose); }

 private:
  Limbs m_{};  // Montgomery form: value * 2^384 mod p
};

}  // namespace bls
