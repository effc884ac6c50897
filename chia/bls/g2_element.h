#pragma once
// A signature: an element of G2, exchanged in its 96-byte compressed form.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chia/bls/bytes.h"
#include "chia/bls/g2.h"

namespace bls {

class G2Element {
 public:
  static constexpr size_t kSize = 96;

  G2Element() = default;  // the point at infinity
  explicit G2Element(const G2Point& p) : point_(p) {}

  // Throws std::invalid_argument for a wrong length, bad flags, a coordinate >= p, a point off
  // the curve or outside the prime-order subgroup. The canonical infinity (c0 00 ... 00) is
  // accepted; verification refuses it.
  static G2Element FromBytes(Bytes bytes);
  static G2Element FromByteVector(const std::vector<uint8_t>& bytes) { return FromBytes(bytes); }
  static G2Element Generator() { return G2Element(G2Point::Generator()); }

  std::vector<uint8_t> Serialize() const;
  void Serialize(uint8_t* out96) const;

  const G2Point& GetPoint() const { return point_; }

  G2Element& operator+=(const G2Element& o);
  friend G2Element operator+(const G2Element& a, const G2Element& b);
  friend bool operator==(const G2Element& a, const G2Element& b) { return a.point_ == b.point_; }
  friend bool operator!=(const G2Element& a, const G2Element& b) { return !(a == b); }

 private:
  G2Point point_;
};

}  // namespace bls
