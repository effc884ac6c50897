#include "pool/hello_key.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "chia/openssl_error.h"

namespace {

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
struct BnFree {
  void operator()(BIGNUM* n) const { BN_free(n); }
};

// The public exponent, made once for the process.
const BIGNUM* Exponent() {
  static const std::unique_ptr<BIGNUM, BnFree> kE = [] {
    std::unique_ptr<BIGNUM, BnFree> n(BN_new());
    if (!n || BN_set_word(n.get(), 3) != 1) ThrowOpenSslError();
    return n;
  }();
  return kE.get();
}

}  // namespace

std::unique_ptr<HelloKey> HelloKey::Generate() {
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 1024) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), const_cast<BIGNUM*>(Exponent())) <= 0) {
    ThrowOpenSslError();
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &raw) <= 0) ThrowOpenSslError();
  std::unique_ptr<HelloKey> key(new HelloKey(raw));
  BIGNUM* n = nullptr;
  if (EVP_PKEY_get_bn_param(raw, OSSL_PKEY_PARAM_RSA_N, &n) != 1) ThrowOpenSslError();
  std::unique_ptr<BIGNUM, BnFree> modulus(n);
  if (BN_bn2binpad(n, key->modulus_.data(), kModulusBytes) != kModulusBytes) ThrowOpenSslError();
  return key;
}

HelloKey::HelloKey(evp_pkey_st* key) : key_(key) {}

HelloKey::~HelloKey() { EVP_PKEY_free(key_); }

int HelloKey::Open(const uint8_t sealed[kSealedBytes], uint8_t out[kSealedBytes]) const {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key_, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha1()) <= 0) {
    ThrowOpenSslError();
  }
  size_t length = kSealedBytes;
  // A refused padding leaves errors of its own; they are an answer here, not a failure.
  ERR_set_mark();
  const int result = EVP_PKEY_decrypt(ctx.get(), out, &length, sealed, kSealedBytes);
  ERR_pop_to_mark();
  return result > 0 ? static_cast<int>(length) : -1;
}
