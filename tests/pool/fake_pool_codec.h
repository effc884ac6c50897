#pragma once
// The pool server's side of every datagram, for fake servers: it builds what the server sends
// and opens what the client sends, with the test deployment's secrets. Offsets are written out
// here on purpose, apart from the client's layout constants, so a wrong constant shows.

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chia/aes_gcm.h"
#include "chia/bls/private_key.h"
#include "pool/pool_session.h"
#include "tests/chia/bls_signer.h"
#include "tests/deployments/test_deployment_secrets.h"

namespace fake_pool {

using Bytes = std::vector<uint8_t>;
using Key16 = std::array<uint8_t, 16>;
// The fake server's nonces are the ones with the top bit set, apart from every client nonce.
inline uint64_t ServerNonce(uint64_t n) { return n | PoolSession::kServerNonceBit; }

template <typename T>
void Put(Bytes& out, size_t at, const T& bytes) {
  std::copy(std::begin(bytes), std::end(bytes), out.begin() + at);
}
inline void PutLe(Bytes& out, size_t at, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
inline uint64_t GetLe(const uint8_t* at, int size) {
  uint64_t v = 0;
  for (int i = 0; i < size; ++i) v |= uint64_t{at[i]} << (8 * i);
  return v;
}

inline std::array<uint8_t, 64> Ed25519Sign(const std::array<uint8_t, 32>& seed, const uint8_t* m,
                                           size_t n) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), 32), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::array<uint8_t, 64> sig{};
  size_t length = 64;
  if (!key || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(md.get(), sig.data(), &length, m, n) != 1) {
    throw std::runtime_error("Ed25519 signing failed");
  }
  return sig;
}

// RSA-OAEP (SHA-1) of 80 bytes to the hello's modulus with exponent 3.
inline Bytes SealToModulus(const uint8_t modulus[128], const uint8_t plain[80]) {
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> b(OSSL_PARAM_BLD_new(),
                                                                    OSSL_PARAM_BLD_free);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_bin2bn(modulus, 128, nullptr), BN_free);
  OSSL_PARAM_BLD_push_BN(b.get(), "n", n.get()), OSSL_PARAM_BLD_push_uint(b.get(), "e", 3);
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(b.get()),
                                                                 OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx.get()),
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get());
  ctx.reset(EVP_PKEY_CTX_new(key, nullptr)), EVP_PKEY_free(key);
  Bytes out(128);
  size_t length = out.size();
  EVP_PKEY_encrypt_init(ctx.get()), EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, plain, 80) != 1)
    throw std::runtime_error("RSA sealing failed");
  return out;
}

struct Reply {
  int32_t expiry = 0, lifetime = 200, echo = 0;
  std::array<uint8_t, 32> sessionSeed{7};  // the server's Ed25519 session key
  Key16 sessionKey{1, 2, 3};
  std::array<uint8_t, 16> token{9};
  uint8_t cacheDelay = 0, copyMultiplier = 1;
  int64_t sessionId = 42;
  std::array<uint8_t, 32> poolSecret = test_deployment::kPoolSecret;
  bool withBody = false;
  bool breakSessionSignature = false;  // signs a modulus other than the hello's
  uint64_t bodyNonce = ServerNonce(1);
  Bytes body;  // plaintext: kind, announcement, text
};

// A handshake reply to the hello whose RSA modulus is given.
inline Bytes BuildHandshakeReply(const Reply& r, const uint8_t modulus[128]) {
  Bytes out(r.withBody ? 319 + r.body.size() : 295);
  out[0] = 1;
  PutLe(out, 1, static_cast<uint32_t>(r.expiry), 4);
  PutLe(out, 5, static_cast<uint32_t>(r.lifetime), 4);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> session(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, r.sessionSeed.data(), 32),
      EVP_PKEY_free);
  size_t n = 32;
  EVP_PKEY_get_raw_public_key(session.get(), out.data() + 9, &n);
  const auto pool = bls::PrivateKey::FromBytes(bls::Bytes(r.poolSecret.data(), 32));
  Put(out, 41, blstest::AugSign(pool, bls::Bytes(out.data() + 1, 40)).Serialize());
  PutLe(out, 137, static_cast<uint32_t>(r.echo), 4);
  uint8_t plain[80];
  std::memcpy(plain, r.sessionKey.data(), 16);
  uint8_t signedModulus[128];
  std::memcpy(signedModulus, modulus, 128);
  signedModulus[127] ^= r.breakSessionSignature;
  std::memcpy(plain + 16, Ed25519Sign(r.sessionSeed, signedModulus, 128).data(), 64);
  Put(out, 141, SealToModulus(modulus, plain));
  Put(out, 269, r.token);
  out[285] = r.cacheDelay, out[286] = r.copyMultiplier;
  PutLe(out, 287, static_cast<uint64_t>(r.sessionId), 8);
  if (r.withBody) {
    PutLe(out, 295, r.bodyNonce, 8);
    AesGcmEncrypt(r.body.data(), static_cast<uint32_t>(r.body.size()), r.sessionKey.data(),
                  r.bodyNonce, out.data() + 319, out.data() + 303);
  }
  return out;
}

// An update announcement: version, info-hash, the update key's signature, ratio, minutes.
inline Bytes BuildAnnouncement(uint16_t version, uint8_t hashByte, uint8_t ratio, uint8_t minutes,
                               const std::array<uint8_t, 32>& seed = test_deployment::kUpdateSeed) {
  Bytes out(88, hashByte);
  PutLe(out, 0, version, 2);
  Put(out, 22, Ed25519Sign(seed, out.data(), 22));
  out[86] = ratio, out[87] = minutes;
  return out;
}

// A signage point: the 87 field bytes after the type byte, then the server key's signature.
inline Bytes BuildSignagePoint(const Bytes& fields87,
                               const std::array<uint8_t, 32>& seed = test_deployment::kServerSeed) {
  Bytes out(152);
  out[0] = 2;
  Put(out, 1, fields87);
  Put(out, 88, Ed25519Sign(seed, out.data() + 1, 87));
  return out;
}

inline Bytes BuildServerMessage(const std::string& text, const Key16& key, uint64_t nonce) {
  Bytes out(153), plain(128);
  out[0] = 5;
  std::memcpy(plain.data(), text.data(), std::min<size_t>(text.size(), 128));
  PutLe(out, 1, nonce, 8);
  AesGcmEncrypt(plain.data(), 128, key.data(), nonce, out.data() + 25, out.data() + 9);
  return out;
}

// A sealed client datagram (keepalive, acknowledgement, share, or a hello's digest at 441):
// session id, nonce, and the opened payload; empty `opened` when the tag does not verify.
struct Sealed {
  int64_t sessionId;
  uint64_t nonce;
  bool opens;
  Bytes opened;
};
inline Sealed OpenSealed(const uint8_t* datagram, size_t at, size_t payload, const Key16& key) {
  Sealed s{static_cast<int64_t>(GetLe(datagram + at, 8)), GetLe(datagram + at + 8, 8), false,
           Bytes(payload)};
  s.opens = AesGcmDecrypt(datagram + at + 32, static_cast<uint32_t>(payload), key.data(), s.nonce,
                          s.opened.data(), datagram + at + 16);
  return s;
}

}  // namespace fake_pool
