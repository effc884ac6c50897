#pragma once
// The augmented signature scheme (message prefixed by the signer's public key).

#include "chia/bls/bytes.h"
#include "chia/bls/core_mpl.h"
#include "chia/bls/g1_element.h"
#include "chia/bls/g2_element.h"

namespace bls {

class AugSchemeMPL : public CoreMPL {
 public:
  static constexpr char kDst[] = "BLS_SIG_BLS12381G2_XMD:SHA-256_SSWU_RO_AUG_";

  // Whether `signature` signs the 48-byte serialised `pubkey` followed by `message`. A signature
  // at infinity or outside G2, and a public key at infinity or outside G1, give false.
  static bool Verify(const G1Element& pubkey, Bytes message, const G2Element& signature);
  // The same over a signature as received: bytes that do not decode to a G2 element give false.
  static bool Verify(const G1Element& pubkey, Bytes message, Bytes signature);
};

}  // namespace bls
