#include "chia/sha256.h"

#include "chia/thread_digest_context.h"

uint8_t* Sha256_32(uint8_t out[32], const uint8_t in[32]) {
  thread_local ThreadDigestContext context;
  const DigestPiece pieces[] = {{in, 32}};
  Sha256Pieces(context.Get(), pieces, 1, out);
  return out;
}

uint8_t* Sha256_32_8(uint8_t out[32], const uint8_t a[32], const uint8_t b[8]) {
  thread_local ThreadDigestContext context;
  const DigestPiece pieces[] = {{a, 32}, {b, 8}};
  Sha256Pieces(context.Get(), pieces, 2, out);
  return out;
}
