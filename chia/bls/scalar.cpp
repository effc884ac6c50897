#include "chia/bls/scalar.h"

#include "chia/bls/mont.h"

namespace bls {
namespace {

constexpr uint64_t kInv = 0xfffffffeffffffff;  // -r^-1 mod 2^64
constexpr Scalar::Limbs kR2 = {0xc999e990f3f29c6d, 0x2b6cedcb87925c23, 0x05d314967254398f,
                               0x0748d9d99f59ff11};
constexpr Scalar::Limbs kOneRaw = {1, 0, 0, 0};

Scalar::Limbs ToMont(const Scalar::Limbs& v) {
  // Correct for any v < 2^256: v * R^2 < 2^256 * r, within the product's bound.
  return mont::Mul<Scalar::kLimbs>(v, kR2, Scalar::kOrder, kInv);
}

}  // namespace

Scalar Scalar::FromU64(uint64_t v) {
  Scalar s;
  s.m_ = ToMont(Limbs{v, 0, 0, 0});
  return s;
}

std::optional<Scalar> Scalar::FromBytes(std::span<const uint8_t, kBytes> in) {
  Limbs v = mont::FromBigEndian<kLimbs>(in.data());
  if (!mont::Less<kLimbs>(v, kOrder)) return std::nullopt;
  Scalar s;
  s.m_ = ToMont(v);
  return s;
}

Scalar Scalar::FromBytesReduce(std::span<const uint8_t> in) {
  // Horner's rule over 64-bit words; 2^64 is itself a reduced scalar.
  Scalar two64;
  two64.m_ = ToMont(Limbs{0, 1, 0, 0});
  Scalar acc;
  size_t head = in.size() % 8;
  size_t pos = 0;
  auto word = [&](size_t len) {
    uint64_t w = 0;
    for (size_t k = 0; k < len; ++k) w = (w << 8) | in[pos + k];
    pos += len;
    return w;
  };
  if (head != 0) acc = FromU64(word(head));
  while (pos < in.size()) acc = acc * two64 + FromU64(word(8));
  return acc;
}

Scalar::Limbs Scalar::ToCanonicalLimbs() const {
  return mont::Mul<kLimbs>(m_, kOneRaw, kOrder, kInv);
}

Scalar::Bytes Scalar::ToBytes() const {
  Bytes out;
  ToBytes(out.data());
  return out;
}

void Scalar::ToBytes(uint8_t* out32) const { mont::ToBigEndian<kLimbs>(ToCanonicalLimbs(), out32); }

Scalar Scalar::operator+(const Scalar& o) const {
  Scalar s;
  s.m_ = mont::Add<kLimbs>(m_, o.m_, kOrder);
  return s;
}

Scalar Scalar::operator-(const Scalar& o) const {
  Scalar s;
  s.m_ = mont::Sub<kLimbs>(m_, o.m_, kOrder);
  return s;
}

Scalar Scalar::operator*(const Scalar& o) const {
  Scalar s;
  s.m_ = mont::Mul<kLimbs>(m_, o.m_, kOrder, kInv);
  return s;
}

bool Scalar::operator==(const Scalar& o) const { return mont::Equal<kLimbs>(m_, o.m_); }

bool Scalar::IsZero() const { return mont::IsZero<kLimbs>(m_); }

}  // namespace bls
