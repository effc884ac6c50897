#pragma once

#include <cstdint>

#include "chia/simd_level.h"

// Sixteen one-block BLAKE3 inputs of one length (at most 64 bytes), hashed side by side in
// vector lanes. Lane-major is the wrong layout for vectors, so inputs are word-major:
// words[w][i] is message word w of input i (its bytes 4w .. 4w + 3, little-endian), and bytes
// past the length must be zero. Digest word w of input i (digest bytes 4w .. 4w + 3,
// little-endian) lands in words[w][i]. Every lane is hashed; lanes a caller did not fill give
// the digest of whatever they hold.
inline constexpr unsigned kBlake3Lanes = 16;

struct Blake3LaneBlocks {
  alignas(64) uint32_t words[16][kBlake3Lanes];
};

struct Blake3LaneDigests {
  alignas(64) uint32_t words[8][kBlake3Lanes];
};

void Blake3HashLanes(const Blake3LaneBlocks& in, uint32_t length, Blake3LaneDigests& out,
                     SimdLevel level = BestSimdLevel());
