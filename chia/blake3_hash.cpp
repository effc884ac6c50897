#include "chia/blake3_hash.h"

#include <blake3.h>

void Blake3Hash(const void* input, uint64_t length, uint8_t out[32]) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  if (length != 0) blake3_hasher_update(&hasher, input, static_cast<size_t>(length));
  blake3_hasher_finalize(&hasher, out, 32);
}
