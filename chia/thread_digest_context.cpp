#include "chia/thread_digest_context.h"

#include "chia/openssl_error.h"

EVP_MD_CTX* ThreadDigestContext::Get() {
  if (context_ == nullptr) {
    context_ = EVP_MD_CTX_new();
    if (context_ == nullptr) ThrowOpenSslError();
  }
  return context_;
}

void Sha256Pieces(EVP_MD_CTX* context, const DigestPiece* pieces, size_t count, uint8_t out[32]) {
  if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) ThrowOpenSslError();
  for (size_t i = 0; i < count; ++i) {
    // An empty piece may come with a null pointer: nothing to hand over.
    if (pieces[i].length == 0) continue;
    if (EVP_DigestUpdate(context, pieces[i].data, pieces[i].length) != 1) ThrowOpenSslError();
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, out, &length) != 1) ThrowOpenSslError();
}
