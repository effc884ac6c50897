#include "chia/bls/hash_to_g2.h"

#include <vector>

#include "chia/bls/expand_message.h"
#include "chia/bls/hex_constant.h"

namespace bls {
namespace {

constexpr size_t kElementBytes = 64;  // L = ceil((381 + 128) / 8)

// y'^2 = x'^3 + A' x' + B' with A' = 240u, B' = 1012(1 + u); Z = -(2 + u).
struct SswuConstants {
  Fp2 a{Fp::Zero(), Fp::FromU64(240)};
  Fp2 b{Fp::FromU64(1012), Fp::FromU64(1012)};
  Fp2 z{-Fp::FromU64(2), -Fp::One()};
  Fp2 minusBOverA = -(b * a.Inverse());
  Fp2 bOverZa = b * (z * a).Inverse();
};

// Coefficients of the 3-isogeny from the SWU curve to the twist, lowest degree first. The
// denominators are monic; their leading 1 is left out.
struct IsogenyConstants {
  std::array<Fp2, 4> xNum = {
      Fp2FromHex("5c759507e8e333ebb5b7a9a47d7ed8532c52d39fd3a042a88b58423c50ae15d5c2638e343d9c71c"
                 "6238aaaaaaaa97d6",
                 "5c759507e8e333ebb5b7a9a47d7ed8532c52d39fd3a042a88b58423c50ae15d5c2638e343d9c71c"
                 "6238aaaaaaaa97d6"),
      Fp2FromHex("0",
                 "11560bf17baa99bc32126fced787c88f984f87adf7ae0c7f9a208c6b4f20a4181472aaa9cb8d555"
                 "526a9ffffffffc71a"),
      Fp2FromHex("11560bf17baa99bc32126fced787c88f984f87adf7ae0c7f9a208c6b4f20a4181472aaa9cb8d555"
                 "526a9ffffffffc71e",
                 "8ab05f8bdd54cde190937e76bc3e447cc27c3d6fbd7063fcd104635a790520c0a395554e5c6aaaa"
                 "9354ffffffffe38d"),
      Fp2FromHex("171d6541fa38ccfaed6dea691f5fb614cb14b4e7f4e810aa22d6108f142b85757098e38d0f671c7"
                 "188e2aaaaaaaa5ed1",
                 "0")};
  std::array<Fp2, 2> xDen = {
      Fp2FromHex("0",
                 "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153fff"
                 "fb9feffffffffaa63"),
      Fp2FromHex("c",
                 "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153fff"
                 "fb9feffffffffaa9f")};
  std::array<Fp2, 4> yNum = {
      Fp2FromHex("1530477c7ab4113b59a4c18b076d11930f7da5d4a07f649bf54439d87d27e500fc8c25ebf8c92f6"
                 "812cfc71c71c6d706",
                 "1530477c7ab4113b59a4c18b076d11930f7da5d4a07f649bf54439d87d27e500fc8c25ebf8c92f6"
                 "812cfc71c71c6d706"),
      Fp2FromHex("0",
                 "5c759507e8e333ebb5b7a9a47d7ed8532c52d39fd3a042a88b58423c50ae15d5c2638e343d9c71c"
                 "6238aaaaaaaa97be"),
      Fp2FromHex("11560bf17baa99bc32126fced787c88f984f87adf7ae0c7f9a208c6b4f20a4181472aaa9cb8d555"
                 "526a9ffffffffc71c",
                 "8ab05f8bdd54cde190937e76bc3e447cc27c3d6fbd7063fcd104635a790520c0a395554e5c6aaaa"
                 "9354ffffffffe38f"),
      Fp2FromHex("124c9ad43b6cf79bfbf7043de3811ad0761b0f37a1e26286b0e977c69aa274524e79097a56dc4bd"
                 "9e1b371c71c718b10",
                 "0")};
  std::array<Fp2, 3> yDen = {
      Fp2FromHex("1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153fff"
                 "fb9feffffffffa8fb",
                 "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153fff"
                 "fb9feffffffffa8fb"),
      Fp2FromHex("0",
                 "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153fff"
                 "fb9feffffffffa9d3"),
      Fp2FromHex("12",
                 "1a0111ea397fe69a4b1ba7b6434bacd764774b84f38512bf6730d2a0f6b0f6241eabfffeb153fff"
                 "fb9feffffffffaa99")};
};

const SswuConstants& Sswu() {
  static const SswuConstants kC;
  return kC;
}

const IsogenyConstants& Isogeny() {
  static const IsogenyConstants kC;
  return kC;
}

// Horner evaluation; `monic` appends a leading coefficient 1.
template <size_t N>
Fp2 Polynomial(const std::array<Fp2, N>& coefficients, const Fp2& x, bool monic) {
  Fp2 acc = monic ? Fp2::One() : coefficients[N - 1];
  for (size_t i = monic ? N : N - 1; i-- > 0;) acc = acc * x + coefficients[i];
  return acc;
}

// Simplified SWU onto y'^2 = x'^3 + A' x' + B'.
G2Affine MapToIsogenousCurve(const Fp2& u) {
  const SswuConstants& c = Sswu();
  const Fp2 zu2 = c.z * u.Square();
  const Fp2 denominator = zu2.Square() + zu2;  // Z^2 u^4 + Z u^2
  const Fp2 x1 =
      denominator.IsZero() ? c.bOverZa : c.minusBOverA * (Fp2::One() + denominator.Inverse());
  const auto g = [&c](const Fp2& x) { return (x.Square() + c.a) * x + c.b; };
  Fp2 x = x1;
  auto y = g(x1).Sqrt();
  if (!y) {
    x = zu2 * x1;
    y = g(x).Sqrt();  // g(x2) = (Z u^2)^3 g(x1) is a square whenever g(x1) is not
  }
  if (u.Sgn0() != y->Sgn0()) *y = -*y;
  return {x, *y, false};
}

G2Point IsogenyMap(const G2Affine& p) {
  const IsogenyConstants& k = Isogeny();
  const Fp2 xDen = Polynomial(k.xDen, p.x, true);
  const Fp2 yDen = Polynomial(k.yDen, p.x, true);
  if (xDen.IsZero() || yDen.IsZero()) return G2Point::Infinity();
  const Fp2 x = Polynomial(k.xNum, p.x, false) * xDen.Inverse();
  const Fp2 y = p.y * Polynomial(k.yNum, p.x, false) * yDen.Inverse();
  return G2Point::FromAffine({x, y, false});
}

}  // namespace

std::array<Fp2, 2> HashToFieldFp2(std::span<const uint8_t> message, std::span<const uint8_t> dst) {
  const std::vector<uint8_t> bytes = ExpandMessageXmd(message, dst, 4 * kElementBytes);
  std::array<Fp2, 2> out;
  for (size_t i = 0; i < 2; ++i) {
    const uint8_t* base = bytes.data() + 2 * i * kElementBytes;
    out[i].c0 = Fp::FromBytesReduce({base, kElementBytes});
    out[i].c1 = Fp::FromBytesReduce({base + kElementBytes, kElementBytes});
  }
  return out;
}

G2Point MapToCurveG2(const Fp2& u) { return IsogenyMap(MapToIsogenousCurve(u)); }

G2Point HashToG2(std::span<const uint8_t> message, std::span<const uint8_t> dst) {
  const std::array<Fp2, 2> u = HashToFieldFp2(message, dst);
  return (MapToCurveG2(u[0]) + MapToCurveG2(u[1])).ClearCofactor();
}

}  // namespace bls
