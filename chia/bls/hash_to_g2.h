#pragma once
// Hashing byte strings to G2 with the random-oracle suite BLS12381G2_XMD:SHA-256_SSWU_RO_:
// expand_message_xmd, the simplified SWU map onto a 3-isogenous curve, the 3-isogeny back to the
// twist, and cofactor clearing. The stages are public so each can be checked on its own.

#include <array>
#include <cstdint>
#include <span>

#include "chia/bls/fp2.h"
#include "chia/bls/g2.h"

namespace bls {

// hash_to_field with count 2: two Fp2 elements from 256 expanded bytes.
std::array<Fp2, 2> HashToFieldFp2(std::span<const uint8_t> message, std::span<const uint8_t> dst);

// map_to_curve: one field element to a point of the twist (not yet in G2).
G2Point MapToCurveG2(const Fp2& u);

// hash_to_curve: the full random-oracle hash.
G2Point HashToG2(std::span<const uint8_t> message, std::span<const uint8_t> dst);

}  // namespace bls
