#include "chia/bls/g1.h"

#include <openssl/crypto.h>

#include <vector>

namespace bls {
namespace {

const Fp& CurveB() {
  static const Fp kB = Fp::FromU64(4);
  return kB;
}

constexpr std::array<uint64_t, 4> kOrderLimbs = Scalar::kOrder;
constexpr uint64_t kEffectiveCofactor = 0xd201000000010001;

constexpr size_t kWindowBits = 4;
constexpr size_t kWindowSize = 1 << kWindowBits;
constexpr size_t kWindows = 256 / kWindowBits;

uint8_t Nibble(const Scalar::Limbs& k, size_t window) {
  return static_cast<uint8_t>((k[window / 16] >> (kWindowBits * (window % 16))) & 0xf);
}

// 1 when a == b, computed without a branch.
bool EqualCt(uint64_t a, uint64_t b) { return (((a ^ b) - 1) >> 63) != 0; }

G1Affine SelectAffine(const G1Affine& a, const G1Affine& b, bool chooseB) {
  G1Affine r;
  r.x = Fp::Select(a.x, b.x, chooseB);
  r.y = Fp::Select(a.y, b.y, chooseB);
  uint8_t mask = static_cast<uint8_t>(0 - static_cast<uint8_t>(chooseB));
  r.infinity =
      ((static_cast<uint8_t>(a.infinity) & ~mask) | (static_cast<uint8_t>(b.infinity) & mask)) != 0;
  return r;
}

// Row w holds j * 16^w * G for j = 0..15 in affine form.
struct GeneratorTable {
  std::vector<G1Affine> entries;  // kWindows * kWindowSize, row-major

  GeneratorTable() : entries(kWindows * kWindowSize) {
    std::vector<G1Point> jac(kWindows * kWindowSize);
    G1Point base = G1Point::Generator();
    for (size_t w = 0; w < kWindows; ++w) {
      jac[w * kWindowSize] = G1Point::Infinity();
      for (size_t j = 1; j < kWindowSize; ++j)
        jac[w * kWindowSize + j] = jac[w * kWindowSize + j - 1] + base;
      for (size_t d = 0; d < kWindowBits; ++d) base = base.Double();
    }
    // One inversion for all entries (Montgomery's trick); row entry 0 stays infinity.
    std::vector<Fp> prefix(jac.size());
    Fp acc = Fp::One();
    for (size_t i = 0; i < jac.size(); ++i) {
      prefix[i] = acc;
      if (i % kWindowSize != 0) acc *= jac[i].Z();
    }
    Fp inv = acc.Inverse();
    for (size_t i = jac.size(); i-- > 0;) {
      if (i % kWindowSize == 0) continue;
      Fp zinv = inv * prefix[i];
      inv *= jac[i].Z();
      Fp zinv2 = zinv.Square();
      entries[i].x = jac[i].X() * zinv2;
      entries[i].y = jac[i].Y() * zinv2 * zinv;
      entries[i].infinity = false;
    }
  }
};

const GeneratorTable& Table() {
  static const GeneratorTable kTable;
  return kTable;
}

}  // namespace

G1Point G1Point::Generator() {
  static const G1Point kG = [] {
    static constexpr uint8_t kX[48] = {0x17, 0xf1, 0xd3, 0xa7, 0x31, 0x97, 0xd7, 0x94, 0x26, 0x95,
                                       0x63, 0x8c, 0x4f, 0xa9, 0xac, 0x0f, 0xc3, 0x68, 0x8c, 0x4f,
                                       0x97, 0x74, 0xb9, 0x05, 0xa1, 0x4e, 0x3a, 0x3f, 0x17, 0x1b,
                                       0xac, 0x58, 0x6c, 0x55, 0xe8, 0x3f, 0xf9, 0x7a, 0x1a, 0xef,
                                       0xfb, 0x3a, 0xf0, 0x0a, 0xdb, 0x22, 0xc6, 0xbb};
    static constexpr uint8_t kY[48] = {0x08, 0xb3, 0xf4, 0x81, 0xe3, 0xaa, 0xa0, 0xf1, 0xa0, 0x9e,
                                       0x30, 0xed, 0x74, 0x1d, 0x8a, 0xe4, 0xfc, 0xf5, 0xe0, 0x95,
                                       0xd5, 0xd0, 0x0a, 0xf6, 0x00, 0xdb, 0x18, 0xcb, 0x2c, 0x04,
                                       0xb3, 0xed, 0xd0, 0x3c, 0xc7, 0x44, 0xa2, 0x88, 0x8a, 0xe4,
                                       0x0c, 0xaa, 0x23, 0x29, 0x46, 0xc5, 0xe7, 0xe1};
    return FromAffineUnchecked(*Fp::FromBytes(kX), *Fp::FromBytes(kY));
  }();
  return kG;
}

G1Point G1Point::FromAffineUnchecked(const Fp& x, const Fp& y) {
  G1Point p;
  p.x_ = x;
  p.y_ = y;
  p.z_ = Fp::One();
  return p;
}

G1Point G1Point::FromAffine(const G1Affine& a) {
  return Select(FromAffineUnchecked(a.x, a.y), Infinity(), a.infinity);
}

G1Affine G1Point::ToAffine() const {
  G1Affine a;
  if (IsInfinity()) return a;
  Fp zinv = z_.Inverse();
  Fp zinv2 = zinv.Square();
  a.x = x_ * zinv2;
  a.y = y_ * zinv2 * zinv;
  a.infinity = false;
  return a;
}

G1Point::Compressed G1Point::ToCompressed() const {
  Compressed out{};
  G1Affine a = ToAffine();
  if (a.infinity) {
    out[0] = 0xc0;
    return out;
  }
  a.x.ToBytes(out.data());
  out[0] |= 0x80;
  if (a.y.IsLexicographicallyLargest()) out[0] |= 0x20;
  return out;
}

std::optional<G1Point> G1Point::FromCompressedOnCurve(
    std::span<const uint8_t, kCompressedBytes> in) {
  const uint8_t flags = in[0] & 0xe0;
  const bool compressed = (flags & 0x80) != 0;
  const bool infinity = (flags & 0x40) != 0;
  const bool larger = (flags & 0x20) != 0;
  if (!compressed) return std::nullopt;
  if (infinity) {
    if (larger || (in[0] & 0x1f) != 0) return std::nullopt;
    for (size_t i = 1; i < in.size(); ++i) {
      if (in[i] != 0) return std::nullopt;
    }
    return Infinity();
  }
  std::array<uint8_t, kCompressedBytes> xb;
  std::copy(in.begin(), in.end(), xb.begin());
  xb[0] &= 0x1f;
  auto x = Fp::FromBytes(xb);
  if (!x) return std::nullopt;
  auto y = (x->Square() * *x + CurveB()).Sqrt();
  if (!y) return std::nullopt;
  if (y->IsLexicographicallyLargest() != larger) *y = -*y;
  return FromAffineUnchecked(*x, *y);
}

std::optional<G1Point> G1Point::FromCompressed(std::span<const uint8_t, kCompressedBytes> in) {
  auto p = FromCompressedOnCurve(in);
  if (!p || !p->IsInSubgroup()) return std::nullopt;
  return p;
}

bool G1Point::IsOnCurve() const {
  // Y^2 = X^3 + b Z^6
  Fp z2 = z_.Square();
  Fp z6 = z2.Square() * z2;
  bool on = y_.Square() == x_.Square() * x_ + CurveB() * z6;
  return on || IsInfinity();
}

bool G1Point::IsInSubgroup() const { return IsOnCurve() && MulPublic(kOrderLimbs).IsInfinity(); }

G1Point G1Point::operator-() const {
  G1Point r = *this;
  r.y_ = -y_;
  return r;
}

G1Point G1Point::Double() const {
  // Doubling for a = 0; infinity (Z = 0) maps to itself.
  Fp a = x_.Square();
  Fp b = y_.Square();
  Fp c = b.Square();
  Fp d = ((x_ + b).Square() - a - c).Double();
  Fp e = a.Double() + a;
  Fp f = e.Square();
  G1Point r;
  r.x_ = f - d.Double();
  r.y_ = e * (d - r.x_) - c.Double().Double().Double();
  r.z_ = (y_ * z_).Double();
  return r;
}

G1Point G1Point::operator+(const G1Point& o) const {
  Fp z1z1 = z_.Square();
  Fp z2z2 = o.z_.Square();
  Fp u1 = x_ * z2z2;
  Fp u2 = o.x_ * z1z1;
  Fp s1 = y_ * o.z_ * z2z2;
  Fp s2 = o.y_ * z_ * z1z1;
  Fp h = u2 - u1;
  Fp i = h.Double().Square();
  Fp j = h * i;
  Fp rr = (s2 - s1).Double();
  Fp v = u1 * i;
  G1Point sum;
  sum.x_ = rr.Square() - j - v.Double();
  sum.y_ = rr * (v - sum.x_) - (s1 * j).Double();
  sum.z_ = ((z_ + o.z_).Square() - z1z1 - z2z2) * h;

  const bool selfInf = IsInfinity();
  const bool otherInf = o.IsInfinity();
  const bool hZero = h.IsZero();
  const bool rrZero = rr.IsZero();
  const bool same = hZero & rrZero;
  G1Point r = Select(sum, Double(), same & !selfInf & !otherInf);
  r = Select(r, o, selfInf);
  r = Select(r, *this, otherInf);
  return r;
}

namespace {

// Mixed addition without the exceptional cases: H = 0 with rr != 0 (this == -a) gives Z = 0.
struct MixedSum {
  Fp x, y, z, h, rr;
};

MixedSum MixedAdd(const Fp& x1, const Fp& y1, const Fp& z1, const G1Affine& a) {
  Fp z1z1 = z1.Square();
  Fp u2 = a.x * z1z1;
  Fp s2 = a.y * z1 * z1z1;
  MixedSum m;
  m.h = u2 - x1;
  Fp hh = m.h.Square();
  Fp i = hh.Double().Double();
  Fp j = m.h * i;
  m.rr = (s2 - y1).Double();
  Fp v = x1 * i;
  m.x = m.rr.Square() - j - v.Double();
  m.y = m.rr * (v - m.x) - (y1 * j).Double();
  m.z = (z1 + m.h).Square() - z1z1 - hh;
  return m;
}

}  // namespace

G1Point G1Point::AddAffine(const G1Affine& a) const {
  MixedSum m = MixedAdd(x_, y_, z_, a);
  G1Point sum;
  sum.x_ = m.x;
  sum.y_ = m.y;
  sum.z_ = m.z;
  const bool selfInf = IsInfinity();
  const bool otherInf = a.infinity;
  const bool hZero = m.h.IsZero();
  const bool rrZero = m.rr.IsZero();
  const bool same = hZero & rrZero;
  G1Point r = Select(sum, Double(), same & !selfInf & !otherInf);
  r = Select(r, FromAffine(a), selfInf);
  r = Select(r, *this, otherInf);
  return r;
}

G1Point G1Point::AddAffineDistinct(const G1Affine& a) const {
  MixedSum m = MixedAdd(x_, y_, z_, a);
  G1Point sum;
  sum.x_ = m.x;
  sum.y_ = m.y;
  sum.z_ = m.z;
  G1Point r = Select(sum, FromAffine(a), IsInfinity());
  return Select(r, *this, a.infinity);
}

G1Point G1Point::Mul(const Scalar& k) const {
  std::array<G1Point, kWindowSize> table;
  table[0] = Infinity();
  for (size_t j = 1; j < kWindowSize; ++j) table[j] = table[j - 1] + *this;
  Scalar::Limbs limbs = k.ToCanonicalLimbs();
  G1Point acc;
  for (size_t w = kWindows; w-- > 0;) {
    for (size_t d = 0; d < kWindowBits; ++d) acc = acc.Double();
    const uint8_t digit = Nibble(limbs, w);
    G1Point entry;
    for (size_t j = 0; j < kWindowSize; ++j) entry = Select(entry, table[j], EqualCt(j, digit));
    acc = acc + entry;
  }
  OPENSSL_cleanse(limbs.data(), sizeof(limbs));
  return acc;
}

G1Point G1Point::MulGenerator(const Scalar& k) {
  const GeneratorTable& table = Table();
  Scalar::Limbs limbs = k.ToCanonicalLimbs();
  G1Point acc;
  for (size_t w = 0; w < kWindows; ++w) {
    const uint8_t digit = Nibble(limbs, w);
    const G1Affine* row = &table.entries[w * kWindowSize];
    G1Affine entry;
    for (size_t j = 0; j < kWindowSize; ++j) entry = SelectAffine(entry, row[j], EqualCt(j, digit));
    // The sum so far is k' x G with k' < 16^w, the entry d x 16^w x G with k' < d x 16^w < r:
    // never the same point, so the doubling case cannot arise.
    acc = acc.AddAffineDistinct(entry);
  }
  OPENSSL_cleanse(limbs.data(), sizeof(limbs));
  return acc;
}

G1Point G1Point::MulPublic(std::span<const uint64_t> k) const {
  G1Point acc;
  for (size_t i = k.size(); i-- > 0;) {
    for (int bit = 63; bit >= 0; --bit) {
      acc = acc.Double();
      if ((k[i] >> bit) & 1) acc = acc + *this;
    }
  }
  return acc;
}

G1Point G1Point::ClearCofactor() const {
  const uint64_t h[1] = {kEffectiveCofactor};
  return MulPublic(h);
}

bool G1Point::operator==(const G1Point& o) const {
  Fp z1z1 = z_.Square();
  Fp z2z2 = o.z_.Square();
  bool sameX = x_ * z2z2 == o.x_ * z1z1;
  bool sameY = y_ * z2z2 * o.z_ == o.y_ * z1z1 * z_;
  bool aInf = IsInfinity();
  bool bInf = o.IsInfinity();
  return (aInf & bInf) | (!aInf & !bInf & sameX & sameY);
}

G1Point G1Point::Select(const G1Point& a, const G1Point& b, bool chooseB) {
  G1Point r;
  r.x_ = Fp::Select(a.x_, b.x_, chooseB);
  r.y_ = Fp::Select(a.y_, b.y_, chooseB);
  r.z_ = Fp::Select(a.z_, b.z_, chooseB);
  return r;
}

void PrecomputeG1Tables() { (void)Table(); }

}  // namespace bls
