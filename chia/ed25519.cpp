#include "chia/ed25519.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

#include "chia/openssl_error.h"

namespace {

struct MdContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

}  // namespace

bool Ed25519Verify(const uint8_t publicKey[32], const uint8_t signature[64],
                   const uint8_t* message, uint64_t messageLength) {
  std::unique_ptr<EVP_MD_CTX, MdContextFree> context(EVP_MD_CTX_new());
  if (!context) ThrowOpenSslError();
  std::unique_ptr<EVP_PKEY, KeyFree> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey, 32));
  if (!key) ThrowOpenSslError();
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) <= 0) {
    ThrowOpenSslError();
  }
  // A rejected signature may queue errors of its own; drop them so a later
  // failure reports its own text, not this one's.
  ERR_set_mark();
  int result =
      EVP_DigestVerify(context.get(), signature, 64, message, static_cast<size_t>(messageLength));
  if (result == 0 || result == 1) {
    ERR_pop_to_mark();
    return result == 1;
  }
  ERR_clear_last_mark();
  ThrowOpenSslError();
}
