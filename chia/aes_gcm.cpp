#include "chia/aes_gcm.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <stdexcept>

#include "chia/openssl_error.h"

void FreeThreadCipherContext(EVP_CIPHER_CTX* context) { EVP_CIPHER_CTX_free(context); }

namespace {

constexpr int kIvLength = 8;
constexpr int kTagLength = 16;

// Made on a thread's first call, freed when that thread exits.
class ThreadCipherContext {
 public:
  ThreadCipherContext() = default;
  ~ThreadCipherContext() { FreeThreadCipherContext(context_); }
  ThreadCipherContext(const ThreadCipherContext&) = delete;
  ThreadCipherContext& operator=(const ThreadCipherContext&) = delete;

  EVP_CIPHER_CTX* Get() {
    if (context_ == nullptr) {
      context_ = EVP_CIPHER_CTX_new();
      if (context_ == nullptr) ThrowOpenSslError();
    }
    return context_;
  }

 private:
  EVP_CIPHER_CTX* context_ = nullptr;
};

void Wipe(uint8_t* out, uint32_t length) {
  if (length != 0) OPENSSL_cleanse(out, length);
}

// AES-128-GCM set up for one message: an 8-byte IV holding the nonce's bytes
// in memory (little-endian) order. encrypt is 1 to encrypt, 0 to decrypt.
void BeginGcm(EVP_CIPHER_CTX* ctx, const uint8_t key[16], uint64_t nonce, int encrypt) {
  uint8_t iv[kIvLength];
  for (int i = 0; i < kIvLength; ++i) iv[i] = static_cast<uint8_t>(nonce >> (8 * i));
  if (EVP_CipherInit_ex(ctx, EVP_aes_128_gcm(), nullptr, nullptr, nullptr, encrypt) != 1) {
    ThrowOpenSslError();
  }
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, kIvLength, nullptr) != 1) {
    ThrowOpenSslError();
  }
  if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key, iv, encrypt) != 1) ThrowOpenSslError();
}

}  // namespace

void AesGcmEncrypt(const uint8_t* in, uint32_t length, const uint8_t key[16], uint64_t nonce,
                   uint8_t* out, uint8_t tag[16]) {
  thread_local ThreadCipherContext threadContext;
  EVP_CIPHER_CTX* ctx = threadContext.Get();
  BeginGcm(ctx, key, nonce, 1);
  int updateLength = 0;
  // An update with no output buffer would count as additional data, so an
  // empty message skips it.
  if (length != 0 &&
      EVP_EncryptUpdate(ctx, out, &updateLength, in, static_cast<int>(length)) != 1) {
    ThrowOpenSslError();
  }
  int finalLength = 0;
  if (EVP_EncryptFinal_ex(ctx, out + updateLength, &finalLength) != 1) ThrowOpenSslError();
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, kTagLength, tag) != 1) ThrowOpenSslError();
  if (static_cast<uint64_t>(updateLength) + static_cast<uint64_t>(finalLength) != length) {
    throw std::runtime_error("AEAD encryption failed");
  }
}

bool AesGcmDecrypt(const uint8_t* in, uint32_t length, const uint8_t key[16], uint64_t nonce,
                   uint8_t* out, const uint8_t tag[16]) {
  thread_local ThreadCipherContext threadContext;
  EVP_CIPHER_CTX* ctx = threadContext.Get();
  BeginGcm(ctx, key, nonce, 0);
  int updateLength = 0;
  if (length != 0 &&
      EVP_DecryptUpdate(ctx, out, &updateLength, in, static_cast<int>(length)) != 1) {
    Wipe(out, length);
    ThrowOpenSslError();
  }
  if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, kTagLength, const_cast<uint8_t*>(tag)) != 1) {
    Wipe(out, length);
    ThrowOpenSslError();
  }
  int finalLength = 0;
  ERR_set_mark();
  if (EVP_DecryptFinal_ex(ctx, out + updateLength, &finalLength) != 1) {
    ERR_pop_to_mark();  // a tag mismatch is an answer, not a pending error
    // The plaintext was written before the tag could be checked: it must not
    // survive a failed check.
    Wipe(out, length);
    return false;
  }
  ERR_clear_last_mark();
  if (static_cast<uint64_t>(updateLength) + static_cast<uint64_t>(finalLength) != length) {
    Wipe(out, length);
    throw std::runtime_error("AEAD decryption failed");
  }
  return true;
}
