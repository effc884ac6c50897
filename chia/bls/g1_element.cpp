#include "chia/bls/g1_element.h"

#include <stdexcept>
#include <string>

#include "chia/bls/hash.h"

namespace bls {

G1Element G1Element::FromBytes(Bytes bytes) {
  if (bytes.size() != kSize) {
    throw std::invalid_argument("G1 element must be 48 bytes, got " + std::to_string(bytes.size()));
  }
  auto p = G1Point::FromCompressed(bytes.first<kSize>());
  if (!p) throw std::invalid_argument("Invalid G1 element");
  return G1Element(*p);
}

std::vector<uint8_t> G1Element::Serialize() const {
  auto c = point_.ToCompressed();
  return std::vector<uint8_t>(c.begin(), c.end());
}

void G1Element::Serialize(uint8_t* out48) const {
  auto c = point_.ToCompressed();
  std::copy(c.begin(), c.end(), out48);
}

uint32_t G1Element::GetFingerprint() const {
  auto h = Sha256(point_.ToCompressed());
  return (uint32_t{h[0]} << 24) | (uint32_t{h[1]} << 16) | (uint32_t{h[2]} << 8) | h[3];
}

G1Element& G1Element::operator+=(const G1Element& o) {
  point_ += o.point_;
  return *this;
}

G1Element operator+(const G1Element& a, const G1Element& b) {
  return G1Element(a.point_ + b.point_);
}

}  // namespace bls
