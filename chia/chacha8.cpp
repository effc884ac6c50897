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

namespace {

// Several blocks at once: lane i of every vector belongs to block
// first_counter + i, so a vector of L lanes makes L blocks per pass.
// Vectors go by reference only: passing them by value across a function
// boundary would tie the code to one vector calling convention.
template <typename V, int L>
[[gnu::always_inline]] inline void XorRotl(V& d, const V& a, int n) {
  d ^= a;
  d = (d << n) | (d >> (32 - n));
}

template <typename V, int L>
[[gnu::always_inline]] inline void VectorQuarterRound(V& a, V& b, V& c, V& d) {
  a += b;
  XorRotl<V, L>(d, a, 16);
  c += d;
  XorRotl<V, L>(b, c, 12);
  a += b;
  XorRotl<V, L>(d, a, 8);
  c += d;
  XorRotl<V, L>(b, c, 7);
}

template <typename V, int L>
[[gnu::always_inline]] inline void BlocksWide(const uint32_t state[16], uint32_t firstCounter,
                                              uint32_t* out) {
  V input[16];
  for (int w = 0; w < 16; ++w) input[w] = V{} + state[w];
  V lane{};
  for (int i = 0; i < L; ++i) lane[i] = static_cast<uint32_t>(i);
  input[12] = lane + firstCounter;
  input[13] = V{};
  V x[16];
  for (int w = 0; w < 16; ++w) x[w] = input[w];
#pragma GCC unroll 4
  for (int round = 0; round < 4; ++round) {
    VectorQuarterRound<V, L>(x[0], x[4], x[8], x[12]);
    VectorQuarterRound<V, L>(x[1], x[5], x[9], x[13]);
    VectorQuarterRound<V, L>(x[2], x[6], x[10], x[14]);
    VectorQuarterRound<V, L>(x[3], x[7], x[11], x[15]);
    VectorQuarterRound<V, L>(x[0], x[5], x[10], x[15]);
    VectorQuarterRound<V, L>(x[1], x[6], x[11], x[12]);
    VectorQuarterRound<V, L>(x[2], x[7], x[8], x[13]);
    VectorQuarterRound<V, L>(x[3], x[4], x[9], x[14]);
  }
  // Word-major lanes to block-major output, through memory: whole-vector
  // stores, then plain word copies.
  alignas(64) uint32_t words[16][L];
  for (int w = 0; w < 16; ++w) {
    x[w] += input[w];
    __builtin_memcpy(words[w], &x[w], sizeof(V));
  }
  for (int i = 0; i < L; ++i) {
#pragma GCC unroll 16
    for (int w = 0; w < 16; ++w) out[16 * i + w] = words[w][i];
  }
}

using Lanes4 = uint32_t __attribute__((vector_size(16)));
using Lanes8 = uint32_t __attribute__((vector_size(32)));
using Lanes16 = uint32_t __attribute__((vector_size(64)));

}  // namespace

namespace chacha8_detail {

void Blocks4(const uint32_t state[16], uint32_t counter, uint64_t count, uint32_t* out) {
  for (; count >= 4; count -= 4, counter += 4, out += 64) {
    BlocksWide<Lanes4, 4>(state, counter, out);
  }
  for (; count > 0; --count, ++counter, out += 16) ChaCha8Block(state, counter, out);
}

__attribute__((target("avx2"))) void Blocks8(const uint32_t state[16], uint32_t counter,
                                             uint64_t count, uint32_t* out) {
  for (; count >= 8; count -= 8, counter += 8, out += 128) {
    BlocksWide<Lanes8, 8>(state, counter, out);
  }
  Blocks4(state, counter, count, out);
}

__attribute__((target("avx512f"))) void Blocks16(const uint32_t state[16], uint32_t counter,
                                                 uint64_t count, uint32_t* out) {
  for (; count >= 16; count -= 16, counter += 16, out += 256) {
    BlocksWide<Lanes16, 16>(state, counter, out);
  }
  Blocks4(state, counter, count, out);
}

}  // namespace chacha8_detail

namespace {

using BlocksFunction = void (*)(const uint32_t*, uint32_t, uint64_t, uint32_t*);

BlocksFunction PickBlocks() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return chacha8_detail::Blocks16;
  if (__builtin_cpu_supports("avx2")) return chacha8_detail::Blocks8;
  return chacha8_detail::Blocks4;
}

const BlocksFunction kBlocks = PickBlocks();

}  // namespace

void ChaCha8Blocks(const uint32_t state[16], uint32_t firstCounter, uint64_t count,
                   uint32_t* out) {
  kBlocks(state, firstCounter, count, out);
}
