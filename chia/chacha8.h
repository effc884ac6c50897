#pragma once

#include <cstdint>

// ChaCha with 8 rounds, as F1 uses it: 16 little-endian u32 words of state
// (0..3 "expand 32-byte k", 4..11 the key, 12 the block counter, 13..15 zero).

// One keystream block: words 12 and 13 of `state` are not read; the counter
// takes word 12 and word 13 is 0. `out` is the final working state added
// word-wise to the input state; its words in little-endian order are the
// 64 keystream bytes of the block. `out` may not alias `state`.
void ChaCha8Block(const uint32_t state[16], uint32_t counter, uint32_t out[16]);

// Fills `state` from a 32-byte key: the constant, the key words, a zero
// counter and a zero nonce.
void ChaCha8InitState(uint32_t state[16], const uint8_t key[32]);
