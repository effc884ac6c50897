#pragma once

#include <cstdint>

// ChaCha with 8 rounds, as F1 uses it: 16 little-endian u32 words of state
// (0..3 "expand 32-byte k", 4..11 the key, 12 the block counter, 13..15 zero).

// One keystream block: words 12 and 13 of `state` are not read; the counter
// takes word 12 and word 13 is 0. `out` is the final working state added
// word-wise to the input state; its words in little-endian order are the
// 64 keystream bytes of the block. `out` may not alias `state`.
void ChaCha8Block(const uint32_t state[16], uint32_t counter, uint32_t out[16]);

// `count` consecutive blocks with counters first_counter, first_counter + 1,
// ... (mod 2^32) into out[16 * i .. 16 * i + 15], each exactly as ChaCha8Block
// gives it. Computes many blocks per pass with the widest vector unit the
// processor has.
void ChaCha8Blocks(const uint32_t state[16], uint32_t firstCounter, uint64_t count, uint32_t* out);

// Fills `state` from a 32-byte key: the constant, the key words, a zero
// counter and a zero nonce.
void ChaCha8InitState(uint32_t state[16], const uint8_t key[32]);

// The vector paths behind ChaCha8Blocks (4, 8 and 16 lanes), named so that
// each can be checked on a machine that would pick another. Blocks8 needs
// AVX2 and Blocks16 AVX-512F.
namespace chacha8_detail {
void Blocks4(const uint32_t state[16], uint32_t counter, uint64_t count, uint32_t* out);
void Blocks8(const uint32_t state[16], uint32_t counter, uint64_t count, uint32_t* out);
void Blocks16(const uint32_t state[16], uint32_t counter, uint64_t count, uint32_t* out);
}  // namespace chacha8_detail
