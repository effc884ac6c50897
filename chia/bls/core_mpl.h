#pragma once
// Key generation and hardened child derivation shared by the signature schemes.

#include <cstdint>

#include "chia/bls/bytes.h"
#include "chia/bls/private_key.h"

namespace bls {

class CoreMPL {
 public:
  // HKDF-SHA-256 key generation: salt "BLS-SIG-KEYGEN-SALT-" as it stands, input seed || 0x00,
  // info 00 30, 48 bytes reduced modulo r. Throws std::invalid_argument for seeds under 32 bytes.
  PrivateKey KeyGen(const Bytes& seed) const;
  // Hardened child derivation through a compressed Lamport public key.
  PrivateKey DeriveChildSk(const PrivateKey& sk, uint32_t index) const;
};

}  // namespace bls
