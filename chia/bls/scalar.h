#pragma once
// Integers modulo the prime order r of the BLS12-381 groups (secret keys).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace bls {

class Scalar {
 public:
  static constexpr size_t kLimbs = 4;
  static constexpr size_t kBytes = 32;
  using Limbs = std::array<uint64_t, kLimbs>;
  using Bytes = std::array<uint8_t, kBytes>;

  // r, little-endian limbs.
  static constexpr Limbs kOrder = {0xffffffff00000001, 0x53bda402fffe5bfe, 0x3339d80809a1d805,
                                   0x73eda753299d7d48};

  Scalar() = default;  // zero

  static Scalar FromU64(uint64_t v);
  // 32 big-endian bytes; refuses values >= r.
  static std::optional<Scalar> FromBytes(std::span<const uint8_t, kBytes> in);
  // A big-endian value of any length, reduced modulo r.
  static Scalar FromBytesReduce(std::span<const uint8_t> in);

  Bytes ToBytes() const;
  void ToBytes(uint8_t* out32) const;
  // The canonical integer in [0, r), little-endian limbs.
  Limbs ToCanonicalLimbs() const;

  Scalar operator+(const Scalar& o) const;
  Scalar operator-(const Scalar& o) const;
  Scalar operator*(const Scalar& o) const;
  bool operator==(const Scalar& o) const;
  bool IsZero() const;

 private:
  Limbs m_{};  // Montgomery form: value * 2^256 mod r
};

}  // namespace bls
