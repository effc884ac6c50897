#include "chia/bls/g2.h"

#include <algorithm>

#include "chia/bls/hex_constant.h"
#include "chia/bls/scalar.h"

namespace bls {
namespace {

// h_eff for hashing to G2, little-endian limbs.
constexpr std::array<uint64_t, 10> kEffectiveCofactor = {
    0xe8020005aaa95551, 0x59894c0adebbf6b4, 0xe954cbc06689f6a3, 0x2ec0ec69d7477c1a,
    0x6d82bf015d1212b0, 0x329c2f178731db95, 0x9986ff031508ffe1, 0x88e2a8e9145ad768,
    0x584c6a0ea91b3528, 0x0bc69f08f2ee75b3};

constexpr uint8_t kFlagCompressed = 0x80;
constexpr uint8_t kFlagInfinity = 0x40;
constexpr uint8_t kFlagLarger = 0x20;

}  // namespace

Fp2 G2Point::CurveB() {
  const Fp four = Fp::FromU64(4);
  return {four, four};
}

G2Point G2Point::Generator() {
  static const G2Point kG = FromAffine(
      {Fp2FromHex("024aa2b2f08f0a91260805272dc51051c6e47ad4fa403b02b4510b647ae3d1770bac0326a805bbe"
                  "fd48056c8c121bdb8",
                  "13e02b6052719f607dacd3a088274f65596bd0d09920b61ab5da61bbdc7f5049334cf11213945d5"
                  "7e5ac7d055d042b7e"),
       Fp2FromHex("0ce5d527727d6e118cc9cdc6da2e351aadfd9baa8cbdd3a76d429a695160d12c923ac9cc3baca28"
                  "9e193548608b82801",
                  "0606c4a02ea734cc32acd2b02bc28b99cb3e287e85a763af267492ab572e99ab3f370d275cec1da"
                  "1aaa9075ff05f79be"),
       false});
  return kG;
}

G2Point G2Point::FromAffine(const G2Affine& a) {
  if (a.infinity) return Infinity();
  return G2Point(a.x, a.y, Fp2::One());
}

G2Affine G2Point::ToAffine() const {
  if (IsInfinity()) return {};
  const Fp2 zi = z_.Inverse();
  const Fp2 zi2 = zi.Square();
  return {x_ * zi2, y_ * zi2 * zi, false};
}

bool G2Point::IsOnCurve() const {
  if (IsInfinity()) return true;
  // Y^2 = X^3 + b Z^6
  const Fp2 z2 = z_.Square();
  const Fp2 z6 = z2.Square() * z2;
  return y_.Square() == x_.Square() * x_ + CurveB() * z6;
}

bool G2Point::IsInSubgroup() const { return MulPublic(Scalar::kOrder).IsInfinity(); }

G2Point G2Point::Double() const {
  if (IsInfinity()) return *this;
  // a = 0 doubling: 2M + 5S.
  const Fp2 a = x_.Square();
  const Fp2 b = y_.Square();
  const Fp2 c = b.Square();
  const Fp2 d = ((x_ + b).Square() - a - c).Double();
  const Fp2 e = a.Double() + a;
  const Fp2 f = e.Square();
  const Fp2 x3 = f - d.Double();
  const Fp2 y3 = e * (d - x3) - c.Double().Double().Double();
  const Fp2 z3 = (y_ * z_).Double();
  return G2Point(x3, y3, z3);
}

G2Point G2Point::operator+(const G2Point& o) const {
  if (IsInfinity()) return o;
  if (o.IsInfinity()) return *this;
  const Fp2 z1z1 = z_.Square();
  const Fp2 z2z2 = o.z_.Square();
  const Fp2 u1 = x_ * z2z2;
  const Fp2 u2 = o.x_ * z1z1;
  const Fp2 s1 = y_ * o.z_ * z2z2;
  const Fp2 s2 = o.y_ * z_ * z1z1;
  const Fp2 h = u2 - u1;
  const Fp2 r = (s2 - s1).Double();
  if (h.IsZero()) return r.IsZero() ? Double() : Infinity();
  const Fp2 i = h.Double().Square();
  const Fp2 j = h * i;
  const Fp2 v = u1 * i;
  const Fp2 x3 = r.Square() - j - v.Double();
  const Fp2 y3 = r * (v - x3) - (s1 * j).Double();
  const Fp2 z3 = ((z_ + o.z_).Square() - z1z1 - z2z2) * h;
  return G2Point(x3, y3, z3);
}

G2Point G2Point::MulPublic(std::span<const uint64_t> k) const {
  G2Point acc;
  for (size_t i = k.size(); i-- > 0;) {
    for (int bit = 63; bit >= 0; --bit) {
      acc = acc.Double();
      if ((k[i] >> bit) & 1) acc = acc + *this;
    }
  }
  return acc;
}

G2Point G2Point::ClearCofactor() const { return MulPublic(kEffectiveCofactor); }

bool G2Point::operator==(const G2Point& o) const {
  if (IsInfinity() || o.IsInfinity()) return IsInfinity() == o.IsInfinity();
  const Fp2 z1z1 = z_.Square();
  const Fp2 z2z2 = o.z_.Square();
  return x_ * z2z2 == o.x_ * z1z1 && y_ * o.z_ * z2z2 == o.y_ * z_ * z1z1;
}

G2Point::Compressed G2Point::ToCompressed() const {
  Compressed out{};
  if (IsInfinity()) {
    out[0] = kFlagCompressed | kFlagInfinity;
    return out;
  }
  const G2Affine a = ToAffine();
  a.x.c1.ToBytes(out.data());
  a.x.c0.ToBytes(out.data() + Fp::kBytes);
  out[0] |= kFlagCompressed;
  if (a.y.IsLexicographicallyLargest()) out[0] |= kFlagLarger;
  return out;
}

std::optional<G2Point> G2Point::FromCompressedOnCurve(
    std::span<const uint8_t, kCompressedBytes> in) {
  const uint8_t flags = in[0] & 0xe0;
  if (!(flags & kFlagCompressed)) return std::nullopt;
  if (flags & kFlagInfinity) {
    // Only the canonical form: no sign flag and nothing else set.
    if (flags & kFlagLarger) return std::nullopt;
    if ((in[0] & 0x1f) != 0) return std::nullopt;
    if (!std::all_of(in.begin() + 1, in.end(), [](uint8_t b) { return b == 0; }))
      return std::nullopt;
    return Infinity();
  }
  Fp::Bytes c1Bytes;
  std::copy(in.begin(), in.begin() + Fp::kBytes, c1Bytes.begin());
  c1Bytes[0] &= 0x1f;
  const auto c1 = Fp::FromBytes(c1Bytes);
  const auto c0 = Fp::FromBytes(in.data() + Fp::kBytes);
  if (!c0 || !c1) return std::nullopt;
  const Fp2 x{*c0, *c1};
  const auto root = (x.Square() * x + CurveB()).Sqrt();
  if (!root) return std::nullopt;
  Fp2 y = *root;
  const bool larger = (flags & kFlagLarger) != 0;
  if (y.IsZero() && larger) return std::nullopt;  // -0 = 0 has no larger root
  if (y.IsLexicographicallyLargest() != larger) y = -y;
  return FromAffine({x, y, false});
}

std::optional<G2Point> G2Point::FromCompressed(std::span<const uint8_t, kCompressedBytes> in) {
  auto p = FromCompressedOnCurve(in);
  if (!p || !p->IsInSubgroup()) return std::nullopt;
  return p;
}

}  // namespace bls
