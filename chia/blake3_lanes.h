#pragma once

#include <cstdint>

#include "chia/simd_level.h"

// Sixteen one-block BLAKE3 inputs of one length (at most 64 bytes), hashed side by side in
// vector lanes: bytes[i] is input i, zero past the length, and digests bytes[i] its 32-byte
// digest. Every lane is hashed; lanes a caller did not fill give the digest of whatever they
// hold.
inline constexpr unsigned kBlake3Lanes = 16;

struct Blake3LaneBlocks {
  alignas(64) uint8_t bytes[kBlake3Lanes][64];
};

struct Blake3LaneDigests {
  alignas(64) uint8_t bytes[kBlake3Lanes][32];
};

void Blake3HashLanes(const Blake3LaneBlocks& in, uint32_t length, Blake3LaneDigests& out,
                     SimdLevel level = BestSimdLevel());
