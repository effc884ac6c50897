#pragma once
// SHA-256 and HKDF-SHA-256 (RFC 5869) through OpenSSL, as the key derivations use them.

#include <array>
#include <cstdint>
#include <span>

namespace bls {

std::array<uint8_t, 32> Sha256(std::span<const uint8_t> data);

// HKDF-Extract(salt, ikm) then HKDF-Expand(prk, info) to out.size() bytes.
void HkdfSha256(std::span<const uint8_t> salt, std::span<const uint8_t> ikm,
                std::span<const uint8_t> info, std::span<uint8_t> out);

}  // namespace bls
