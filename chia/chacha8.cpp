#include "chia/chacha8.h"

#include <bit>

namespace {

inline void QuarterRound(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b;
  d = std::rotl(d ^ a, 16);
  c += d;
  b = std::rotl(b ^ c, 12);
  a += b;
  d = std::rotl(d ^ a, 8);
  c += d;
  b = std::rotl(b ^ c, 7);
}

}  // namespace

void ChaCha8Block(const uint32_t state[16], uint32_t counter, uint32_t out[16]) {
  uint32_t x0 = state[0], x1 = state[1], x2 = state[2], x3 = state[3];
  uint32_t x4 = state[4], x5 = state[5], x6 = state[6], x7 = state[7];
  uint32_t x8 = state[8], x9 = state[9], x10 = state[10], x11 = state[11];
  uint32_t x12 = counter, x13 = 0, x14 = state[14], x15 = state[15];
  for (int i = 0; i < 4; ++i) {
    // Column round, then diagonal round.
    QuarterRound(x0, x4, x8, x12);
    QuarterRound(x1, x5, x9, x13);
    QuarterRound(x2, x6, x10, x14);
    QuarterRound(x3, x7, x11, x15);
    QuarterRound(x0, x5, x10, x15);
    QuarterRound(x1, x6, x11, x12);
    QuarterRound(x2, x7, x8, x13);
    QuarterRound(x3, x4, x9, x14);
  }
  out[0] = x0 + state[0];
  out[1] = x1 + state[1];
  out[2] = x2 + state[2];
  out[3] = x3 + state[3];
  out[4] = x4 + state[4];
  out[5] = x5 + state[5];
  out[6] = x6 + state[6];
  out[7] = x7 + state[7];
  out[8] = x8 + state[8];
  out[9] = x9 + state[9];
  out[10] = x10 + state[10];
  out[11] = x11 + state[11];
  out[12] = x12 + counter;
  out[13] = x13;
  out[14] = x14 + state[14];
  out[15] = x15 + state[15];
}

void ChaCha8InitState(uint32_t state[16], const uint8_t key[32]) {
  // "expand 32-byte k" as four little-endian words.
  state[0] = 0x61707865;
  state[1] = 0x3320646e;
  state[2] = 0x79622d32;
  state[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) {
    state[4 + i] = uint32_t{key[4 * i]} | uint32_t{key[4 * i + 1]} << 8 |
                   uint32_t{key[4 * i + 2]} << 16 | uint32_t{key[4 * i + 3]} << 24;
  }
  state[12] = state[13] = state[14] = state[15] = 0;
}
