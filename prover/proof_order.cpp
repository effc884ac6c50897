#include "prover/proof_order.h"

#include <algorithm>
#include <cstring>

uint64_t ProofQualityXPair(const uint32_t proof[64], const uint8_t challenge[32]) {
  uint64_t pairs[32];
  for (int i = 0; i < 32; ++i) {
    const uint32_t a = __builtin_bswap32(proof[2 * i]);
    const uint32_t b = __builtin_bswap32(proof[2 * i + 1]);
    pairs[i] = uint64_t{std::max(a, b)} << 32 | std::min(a, b);
  }
  // Bottom-up: of two sibling groups, the one whose pairs, compared from the last back, are
  // smaller comes first; equal groups keep their order.
  for (int size = 1; size < 32; size *= 2) {
    for (int start = 0; start < 32; start += 2 * size) {
      uint64_t* a = pairs + start;
      uint64_t* b = a + size;
      for (int k = size - 1; k >= 0; --k) {
        if (a[k] == b[k]) continue;
        if (b[k] < a[k]) std::rotate(a, b, b + size);
        break;
      }
    }
  }
  const uint64_t chosen = pairs[challenge[31] & 31];
  const uint32_t bytes[2] = {__builtin_bswap32(static_cast<uint32_t>(chosen)),
                             __builtin_bswap32(static_cast<uint32_t>(chosen >> 32))};
  uint64_t out;
  std::memcpy(&out, bytes, 8);
  return out;
}
