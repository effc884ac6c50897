#pragma once

#include <cstdint>

// Eight consecutive ChaCha8 keystream blocks, counters counter .. counter + 7 (mod 2^32), from
// a state laid out as for ChaCha8Block. Word j of block k lands in out[j][k], so one row holds
// the same word of eight blocks. Uses AVX2 when the processor has it; the results are those of
// eight ChaCha8Block calls either way.
void ChaCha8Blocks8(const uint32_t state[16], uint32_t counter, uint32_t out[16][8]);
