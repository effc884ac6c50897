#include "chia/bls/aug_scheme_mpl.h"

#include <string_view>
#include <vector>

#include "chia/bls/hash_to_g2.h"
#include "chia/bls/pairing.h"

namespace bls {

bool AugSchemeMPL::Verify(const G1Element& pubkey, Bytes message, const G2Element& signature) {
  const G2Point& sig = signature.GetPoint();
  const G1Point& key = pubkey.GetPoint();
  // Elements built from points rather than bytes skipped the decoding checks: repeat them.
  if (sig.IsInfinity() || !sig.IsOnCurve() || !sig.IsInSubgroup()) return false;
  if (key.IsInfinity() || !key.IsOnCurve() || !key.IsInSubgroup()) return false;

  std::vector<uint8_t> augmented = pubkey.Serialize();
  augmented.insert(augmented.end(), message.begin(), message.end());
  const std::string_view dst(kDst);
  const G2Point hash =
      HashToG2(augmented, {reinterpret_cast<const uint8_t*>(dst.data()), dst.size()});
  // e(pubkey, H(m)) = e(g1, signature)  <=>  e(-g1, signature) e(pubkey, H(m)) = 1
  return PairingProductIsOne(-G1Point::Generator(), sig, key, hash);
}

bool AugSchemeMPL::Verify(const G1Element& pubkey, Bytes message, Bytes signature) {
  if (signature.size() != G2Element::kSize) return false;
  const auto sig = G2Point::FromCompressed(signature.first<G2Element::kSize>());
  if (!sig) return false;
  return Verify(pubkey, message, G2Element(*sig));
}

}  // namespace bls
