#include "chia/bls/fp.h"

#include "chia/bls/mont.h"

namespace bls {
namespace {

constexpr uint64_t kInv = 0x89f3fffcfffcfffd;  // -p^-1 mod 2^64
constexpr Fp::Limbs kR = {0x760900000002fffd, 0xebf4000bc40c0002, 0x5f48985753c758ba,
                          0x77ce585370525745, 0x5c071a97a256ec6d, 0x15f65ec3fa80e493};
constexpr Fp::Limbs kR2 = {0xf4df1f341c341746, 0x0a76e6a609d104f1, 0x8de5476c4c95b6d5,
                           0x67eb88a9939d83c0, 0x9a793e85b519952d, 0x11988fe592cae3aa};
constexpr Fp::Limbs kPMinus2 = {0xb9feffffffffaaa9, 0x1eabfffeb153ffff, 0x6730d2a0f6b0f624,
                                0x64774b84f38512bf, 0x4b1ba7b6434bacd7, 0x1a0111ea397fe69a};
constexpr Fp::Limbs kPPlus1Over4 = {0xee7fbfffffffeaab, 0x07aaffffac54ffff, 0xd9cc34a83dac3d89,
                                    0xd91dd2e13ce144af, 0x92c6e9ed90d2eb35, 0x0680447a8e5ff9a6};
constexpr Fp::Limbs kPMinus1Over2 = {0xdcff7fffffffd555, 0x0f55ffff58a9ffff, 0xb39869507b587b12,
                                     0xb23ba5c279c2895f, 0x258dd3db21a5d66b, 0x0d0088f51cbff34d};
constexpr Fp::Limbs kOneRaw = {1, 0, 0, 0, 0, 0};

// Kept out of line: inlined into the exponentiation loops it bloats them and runs slower.
[[gnu::noinline]] Fp::Limbs MulLimbs(const Fp::Limbs& a, const Fp::Limbs& b) {
  return mont::Mul<Fp::kLimbs>(a, b, Fp::kModulus, kInv);
}

}  // namespace

Fp Fp::One() { return FromMontgomery(kR); }

Fp Fp::FromU64(uint64_t v) { return FromCanonicalLimbs(Limbs{v, 0, 0, 0, 0, 0}); }

Fp Fp::FromCanonicalLimbs(const Limbs& v) {
  return FromMontgomery(mont::Mul<kLimbs>(v, kR2, kModulus, kInv));
}

std::optional<Fp> Fp::FromBytes(const uint8_t* in48) {
  Limbs v = mont::FromBigEndian<kLimbs>(in48);
  if (!mont::Less<kLimbs>(v, kModulus)) return std::nullopt;
  return FromCanonicalLimbs(v);
}

std::optional<Fp> Fp::FromBytes(std::span<const uint8_t, kBytes> in) {
  return FromBytes(in.data());
}

Fp Fp::FromBytesReduce(std::span<const uint8_t> in) {
  return mont::ReduceBigEndian(in, FromCanonicalLimbs(Limbs{0, 1, 0, 0, 0, 0}));
}

Fp::Limbs Fp::ToCanonicalLimbs() const { return mont::Mul<kLimbs>(m_, kOneRaw, kModulus, kInv); }

Fp::Bytes Fp::ToBytes() const {
  Bytes out;
  ToBytes(out.data());
  return out;
}

void Fp::ToBytes(uint8_t* out48) const { mont::ToBigEndian<kLimbs>(ToCanonicalLimbs(), out48); }

Fp Fp::operator+(const Fp& o) const {
  return FromMontgomery(mont::Add<kLimbs>(m_, o.m_, kModulus));
}

Fp Fp::operator-(const Fp& o) const {
  return FromMontgomery(mont::Sub<kLimbs>(m_, o.m_, kModulus));
}

Fp Fp::operator-() const { return Zero() - *this; }

Fp Fp::operator*(const Fp& o) const { return FromMontgomery(MulLimbs(m_, o.m_)); }

Fp Fp::Square() const { return *this * *this; }

Fp Fp::Pow(std::span<const uint64_t> e) const {
  // Fixed 4-bit windows over a public exponent: the branches follow its bits, never the base.
  std::array<Fp, 16> table;
  table[0] = One();
  for (size_t j = 1; j < table.size(); ++j) table[j] = table[j - 1] * *this;
  Fp acc = One();
  for (size_t i = e.size(); i-- > 0;) {
    for (int shift = 60; shift >= 0; shift -= 4) {
      acc = acc.Square().Square().Square().Square();
      const size_t digit = (e[i] >> shift) & 0xf;
      if (digit != 0) acc *= table[digit];
    }
  }
  return acc;
}

Fp Fp::Inverse() const { return Pow(kPMinus2); }

std::optional<Fp> Fp::Sqrt() const {
  Fp s = Pow(kPPlus1Over4);
  if (s.Square() != *this) return std::nullopt;
  return s;
}

bool Fp::IsSquare() const {
  // Euler's criterion: 0 or 1 for squares, -1 otherwise.
  Fp e = Pow(kPMinus1Over2);
  return e.IsZero() || e.IsOne();
}

bool Fp::IsZero() const { return mont::IsZero<kLimbs>(m_); }

bool Fp::IsOne() const { return mont::Equal<kLimbs>(m_, kR); }

bool Fp::operator==(const Fp& o) const { return mont::Equal<kLimbs>(m_, o.m_); }

bool Fp::IsLexicographicallyLargest() const {
  // v > (p-1)/2  <=>  (p-1)/2 < v
  return mont::Less<kLimbs>(kPMinus1Over2, ToCanonicalLimbs());
}

bool Fp::Sgn0() const { return (ToCanonicalLimbs()[0] & 1) != 0; }

Fp Fp::Select(const Fp& a, const Fp& b, bool chooseB) {
  return FromMontgomery(mont::Select<kLimbs>(a.m_, b.m_, chooseB));
}

void Fp::CondSwap(Fp& a, Fp& b, bool swap) {
  Fp na = Select(a, b, swap);
  Fp nb = Select(b, a, swap);
  a = na;
  b = nb;
}

}  // namespace bls
