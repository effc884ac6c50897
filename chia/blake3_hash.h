#pragma once

#include <cstdint>

// One-shot BLAKE3 (default hash mode, no key) of `length` bytes to a 32-byte
// digest. The first n bytes of the digest are BLAKE3's n-byte output for any
// n <= 32, so 16-byte users take the prefix.
void Blake3Hash(const void* input, uint64_t length, uint8_t out[32]);
