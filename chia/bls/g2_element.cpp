#include "chia/bls/g2_element.h"

#include <algorithm>
#include <stdexcept>

namespace bls {

G2Element G2Element::FromBytes(Bytes bytes) {
  if (bytes.size() != kSize) throw std::invalid_argument("G2Element::FromBytes: wrong length");
  const auto p = G2Point::FromCompressed(bytes.first<kSize>());
  if (!p) throw std::invalid_argument("G2Element::FromBytes: invalid point");
  return G2Element(*p);
}

std::vector<uint8_t> G2Element::Serialize() const {
  const G2Point::Compressed c = point_.ToCompressed();
  return std::vector<uint8_t>(c.begin(), c.end());
}

void G2Element::Serialize(uint8_t* out96) const {
  const G2Point::Compressed c = point_.ToCompressed();
  std::copy(c.begin(), c.end(), out96);
}

G2Element& G2Element::operator+=(const G2Element& o) {
  point_ += o.point_;
  return *this;
}

G2Element operator+(const G2Element& a, const G2Element& b) {
  G2Element r = a;
  r += b;
  return r;
}

}  // namespace bls
