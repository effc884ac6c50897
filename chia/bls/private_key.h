#pragma once
// A secret key: a scalar modulo the group order, exchanged as 32 big-endian bytes.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chia/bls/bytes.h"
#include "chia/bls/g1_element.h"
#include "chia/bls/scalar.h"

namespace bls {

class PrivateKey {
 public:
  static constexpr size_t kPrivateKeySize = 32;

  PrivateKey() = default;  // zero
  explicit PrivateKey(const Scalar& k) : key_(k) {}
  PrivateKey(const PrivateKey&) = default;
  PrivateKey& operator=(const PrivateKey&) = default;
  ~PrivateKey();

  // Throws std::invalid_argument for a wrong length, or for a value >= r unless mod_order is set,
  // in which case the value is reduced.
  static PrivateKey FromBytes(Bytes bytes, bool modOrder = false);
  static PrivateKey FromByteVector(const std::vector<uint8_t>& bytes, bool modOrder = false) {
    return FromBytes(bytes, modOrder);
  }
  // The sum of the keys modulo r.
  static PrivateKey Aggregate(const std::vector<PrivateKey>& keys);

  // k x G1 generator, computed in constant time.
  G1Element GetG1Element() const;

  void Serialize(uint8_t* out32) const;
  std::vector<uint8_t> Serialize() const;

  const Scalar& GetScalar() const { return key_; }

  friend bool operator==(const PrivateKey& a, const PrivateKey& b) { return a.key_ == b.key_; }
  friend bool operator!=(const PrivateKey& a, const PrivateKey& b) { return !(a == b); }

 private:
  Scalar key_;
};

}  // namespace bls
