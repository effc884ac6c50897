#pragma once
// A public key: an element of G1, exchanged in its 48-byte compressed form.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chia/bls/bytes.h"
#include "chia/bls/g1.h"

namespace bls {

class G1Element {
 public:
  static constexpr size_t kSize = 48;

  G1Element() = default;  // the point at infinity
  explicit G1Element(const G1Point& p) : point_(p) {}

  // Throws std::invalid_argument for a wrong length or an invalid or out-of-group point.
  static G1Element FromBytes(Bytes bytes);
  static G1Element FromByteVector(const std::vector<uint8_t>& bytes) { return FromBytes(bytes); }
  static G1Element Generator() { return G1Element(G1Point::Generator()); }

  std::vector<uint8_t> Serialize() const;
  void Serialize(uint8_t* out48) const;
  // First four bytes of SHA-256 of the serialised key, big-endian.
  uint32_t GetFingerprint() const;

  const G1Point& GetPoint() const { return point_; }

  G1Element& operator+=(const G1Element& o);
  friend G1Element operator+(const G1Element& a, const G1Element& b);
  friend bool operator==(const G1Element& a, const G1Element& b) { return a.point_ == b.point_; }
  friend bool operator!=(const G1Element& a, const G1Element& b) { return !(a == b); }

 private:
  G1Point point_;
};

}  // namespace bls
