#pragma once
// Signing for tests only: the client verifies signatures but never makes them, so this stays
// out of the product libraries. Variable time; never use it with keys that matter.

#include <string_view>
#include <vector>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/g2_element.h"
#include "chia/bls/hash_to_g2.h"
#include "chia/bls/private_key.h"

namespace blstest {

// sk x H(message) under the given domain separation tag.
inline bls::G2Element SignWithDst(const bls::PrivateKey& sk, bls::Bytes message,
                                  std::string_view dst) {
  const bls::G2Point h =
      bls::HashToG2(message, {reinterpret_cast<const uint8_t*>(dst.data()), dst.size()});
  const auto k = sk.GetScalar().ToCanonicalLimbs();
  return bls::G2Element(h.MulPublic(k));
}

// The augmented scheme: the signed bytes are the serialised public key followed by the message.
inline bls::G2Element AugSign(const bls::PrivateKey& sk, bls::Bytes message) {
  std::vector<uint8_t> augmented = sk.GetG1Element().Serialize();
  augmented.insert(augmented.end(), message.begin(), message.end());
  return SignWithDst(sk, augmented, bls::AugSchemeMPL::kDst);
}

}  // namespace blstest
