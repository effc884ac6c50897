#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

// A digest context owned by one thread: made on first use, freed when the
// thread exits. Each function that hashes keeps one of its own in a
// thread_local, so hot callers never allocate per call and never lock.
class ThreadDigestContext {
 public:
  ThreadDigestContext() = default;
  ~ThreadDigestContext() { EVP_MD_CTX_free(context_); }
  ThreadDigestContext(const ThreadDigestContext&) = delete;
  ThreadDigestContext& operator=(const ThreadDigestContext&) = delete;

  // The context, created on the first call; throws through ThrowOpenSslError
  // when it cannot be created.
  EVP_MD_CTX* Get();

 private:
  EVP_MD_CTX* context_ = nullptr;
};

// One stretch of bytes of a digest input.
struct DigestPiece {
  const void* data;
  size_t length;
};

// SHA-256 of the concatenated pieces into out (32 bytes) with the given
// context; throws through ThrowOpenSslError on any failure.
void Sha256Pieces(EVP_MD_CTX* context, const DigestPiece* pieces, size_t count, uint8_t out[32]);
