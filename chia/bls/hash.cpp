#include "chia/bls/hash.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace bls {
namespace {

[[noreturn]] void Fail(const char* what) {
  char buf[120] = {};
  ERR_error_string_n(ERR_get_error(), buf, sizeof(buf));
  throw std::runtime_error(std::string(what) + ": " + buf);
}

struct KdfDeleter {
  void operator()(EVP_KDF* k) const { EVP_KDF_free(k); }
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

}  // namespace

std::array<uint8_t, 32> Sha256(std::span<const uint8_t> data) {
  std::array<uint8_t, 32> out;
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 ||
      len != out.size()) {
    Fail("SHA-256 failed");
  }
  return out;
}

void HkdfSha256(std::span<const uint8_t> salt, std::span<const uint8_t> ikm,
                std::span<const uint8_t> info, std::span<uint8_t> out) {
  std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) Fail("HKDF unavailable");
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) Fail("HKDF context");
  // OpenSSL takes non-const pointers in OSSL_PARAM but does not write through them.
  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                                  const_cast<uint8_t*>(ikm.data()), ikm.size());
  params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                                  const_cast<uint8_t*>(salt.data()), salt.size());
  if (!info.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                                    const_cast<uint8_t*>(info.data()), info.size());
  }
  params[n] = OSSL_PARAM_construct_end();
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) Fail("HKDF failed");
}

}  // namespace bls
