#pragma once

#include <cstdint>

// Checks an Ed25519 signature (64 bytes) of the message under a raw 32-byte
// public key: true when valid, false when not (a wrong signature or a key that
// is not a curve point is not an error). OpenSSL failures throw through
// ThrowOpenSslError.
bool Ed25519Verify(const uint8_t publicKey[32], const uint8_t signature[64],
                   const uint8_t* message, uint64_t messageLength);
