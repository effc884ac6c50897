#pragma once

#include <cstdint>

enum class Ed25519KeyClass {
  kValid,
  kNotAPoint,   // no canonical encoding of a curve point (RFC 8032 decoding fails)
  kSmallOrder,  // one of the 8 points whose multiple by the cofactor is the neutral element
};

// How 32 bytes serve as an Ed25519 public key. A small-order key lets one signature verify for
// many messages, so it is refused like bytes that are no point at all.
Ed25519KeyClass ClassifyEd25519Key(const uint8_t key[32]);
