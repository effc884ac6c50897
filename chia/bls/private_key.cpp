#include "chia/bls/private_key.h"

#include <openssl/crypto.h>

#include <stdexcept>
#include <string>

namespace bls {

PrivateKey::~PrivateKey() { OPENSSL_cleanse(&key_, sizeof(key_)); }

PrivateKey PrivateKey::FromBytes(Bytes bytes, bool modOrder) {
  if (bytes.size() != kPrivateKeySize) {
    throw std::invalid_argument("Private key must be 32 bytes, got " +
                                std::to_string(bytes.size()));
  }
  if (modOrder) return PrivateKey(Scalar::FromBytesReduce(bytes));
  auto k = Scalar::FromBytes(bytes.first<kPrivateKeySize>());
  if (!k) throw std::invalid_argument("Private key must be less than the group order");
  return PrivateKey(*k);
}

PrivateKey PrivateKey::Aggregate(const std::vector<PrivateKey>& keys) {
  if (keys.empty()) throw std::length_error("Number of private keys must be at least 1");
  Scalar sum;
  for (const auto& k : keys) sum = sum + k.key_;
  return PrivateKey(sum);
}

G1Element PrivateKey::GetG1Element() const { return G1Element(G1Point::MulGenerator(key_)); }

void PrivateKey::Serialize(uint8_t* out32) const { key_.ToBytes(out32); }

std::vector<uint8_t> PrivateKey::Serialize() const {
  std::vector<uint8_t> out(kPrivateKeySize);
  key_.ToBytes(out.data());
  return out;
}

}  // namespace bls
