// RSA is exercised through its classic low-level calls on purpose.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "chia/self_test.h"

#include <blake3.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "chia/aes_gcm.h"
#include "chia/bech32.h"
#include "chia/bls/private_key.h"
#include "chia/chia_address.h"
#include "chia/deployment.h"
#include "chia/ed25519.h"
#include "chia/iterations_quality.h"
#include "chia/openssl_error.h"
#include "chia/plot_keys.h"
#include "chia/thread_digest_context.h"

namespace {

using Bytes32 = std::array<uint8_t, 32>;
using Bytes48 = std::array<uint8_t, 48>;

constexpr Bytes32 kSha256Abc = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
// SHA-256 of "abc" followed by 73 74 72 00.
constexpr Bytes32 kSha256AbcStr = {0x8f, 0x94, 0x69, 0xf9, 0x7b, 0x46, 0x6a, 0x9b, 0x3f, 0xa9, 0x44,
                                   0x33, 0xd3, 0x7c, 0x5e, 0xe7, 0x78, 0x31, 0xec, 0x89, 0xef, 0xc3,
                                   0x00, 0x0f, 0x56, 0xed, 0xde, 0x5d, 0x54, 0x4d, 0x5f, 0x8d};
// First 16 bytes of BLAKE3 of "test" followed by "vector" and a zero byte.
constexpr std::array<uint8_t, 16> kBlake3TestVector = {
    0x91, 0x32, 0x20, 0x00, 0x5f, 0xa7, 0xf5, 0xbb, 0xd6, 0xfd, 0xd7, 0xe5, 0xb1, 0x58, 0x0b, 0x30};

// Plot keys from 32 zero bytes: V1 secret A, V2 secret B. The public keys and plot ids depend on
// the pool key, so the deployment record stores them.
constexpr Bytes32 kV1 = {0x54, 0xdc, 0x93, 0x75, 0xc8, 0x4d, 0x17, 0x39, 0xd1, 0x23, 0x52,
                         0x1d, 0xd9, 0x97, 0xf7, 0x3e, 0x86, 0xec, 0xfe, 0xbd, 0xee, 0xad,
                         0xe7, 0x78, 0xdf, 0xcb, 0x58, 0x9c, 0x22, 0x64, 0x3d, 0x59};
constexpr Bytes32 kV2 = {0x3d, 0x72, 0x15, 0x18, 0xa4, 0x08, 0xd1, 0xce, 0xfd, 0xcd, 0x28,
                         0x17, 0x45, 0xb2, 0x4d, 0xa5, 0x97, 0xe6, 0x98, 0x4f, 0x5c, 0x41,
                         0x5c, 0x92, 0xe6, 0x31, 0x7f, 0x06, 0xbb, 0x75, 0x6d, 0x75};

// Required-iterations inputs and answers: (quality, signage-point hash, difficulty, answer).
struct IterationsCase {
  Bytes32 quality;
  Bytes32 signagePoint;
  uint64_t difficulty;
  uint64_t answer;
};
constexpr IterationsCase kIterations[2] = {
    {{0x5a, 0xe4, 0x2a, 0x7d, 0xa7, 0x89, 0xfd, 0x9d, 0x4e, 0x46, 0x58,
      0x6e, 0x44, 0x05, 0x83, 0xd9, 0x71, 0x54, 0xd1, 0xcf, 0x13, 0xc6,
      0x46, 0x31, 0x5f, 0xd1, 0x90, 0x28, 0xbe, 0x95, 0x29, 0xbe},
     {0xec, 0x88, 0x70, 0xfb, 0xfc, 0x90, 0x76, 0x30, 0xe5, 0x5c, 0xdf,
      0x39, 0xf9, 0xc9, 0xba, 0xd3, 0x4d, 0x16, 0xec, 0xe4, 0x3b, 0x33,
      0x71, 0xea, 0x1e, 0x53, 0x38, 0xba, 0xb6, 0xda, 0x0d, 0xf4},
     19,
     9098726789},
    {{0x4d, 0xad, 0x32, 0x3b, 0xb0, 0xec, 0xce, 0x0f, 0xa0, 0x36, 0xf9,
      0xe4, 0x22, 0xec, 0x58, 0x87, 0xf9, 0x68, 0xc3, 0x1a, 0xb1, 0x02,
      0xd6, 0xee, 0x1d, 0x61, 0x57, 0xb5, 0xb0, 0x65, 0x05, 0xd5},
     {0x68, 0xc8, 0xce, 0xaa, 0x61, 0x88, 0xfe, 0x26, 0x60, 0xd6, 0x06,
      0xab, 0x19, 0xa8, 0x55, 0x65, 0x1d, 0xa2, 0x4c, 0xbe, 0x36, 0xe5,
      0xcc, 0x1f, 0xa3, 0xe7, 0xd4, 0xcc, 0x25, 0x69, 0x90, 0xa7},
     1912,
     1135318641442},
};

constexpr std::string_view kFixedAddress =
    "xch16gd2u94hmhlefzdrgcyalagskpkkv9qx8prk8hk59lytwwqnaecqjzp9vc";
constexpr Bytes32 kFixedPuzzleHash = {
    0xd2, 0x1a, 0xae, 0x16, 0xb7, 0xdd, 0xff, 0x94, 0x89, 0xa3, 0x46, 0x09, 0xdf, 0xf5, 0x10, 0xb0,
    0x6d, 0x66, 0x14, 0x06, 0x38, 0x47, 0x63, 0xde, 0xd4, 0x2f, 0xc8, 0xb7, 0x38, 0x13, 0xee, 0x70};

template <typename T, void (*Free)(T*)>
struct OsslDeleter {
  void operator()(T* p) const { Free(p); }
};
using RsaPtr = std::unique_ptr<RSA, OsslDeleter<RSA, RSA_free>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslDeleter<BIGNUM, BN_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OsslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

template <typename A, typename B>
bool Same(const A& a, const B& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

void SelfTestSha256() {
  const DigestPiece abc[] = {{"abc", 3}};
  Bytes32 out;
  thread_local ThreadDigestContext first;
  Sha256Pieces(first.Get(), abc, 1, out.data());
  SelfTestAssert(out == kSha256Abc);
  thread_local ThreadDigestContext second;
  out.fill(0);
  Sha256Pieces(second.Get(), abc, 1, out.data());
  SelfTestAssert(out == kSha256Abc);

  const DigestPiece two[] = {{"abc", 3}, {"str", 4}};  // with the terminating zero
  out.fill(0);
  Sha256Pieces(first.Get(), two, 2, out.data());
  SelfTestAssert(out == kSha256AbcStr);
}

void SelfTestBlake3() {
  thread_local blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, "test", 4);
  blake3_hasher_update(&hasher, "vector", 7);
  std::array<uint8_t, 16> out{};
  blake3_hasher_finalize(&hasher, out.data(), out.size());
  SelfTestAssert(out == kBlake3TestVector);
}

void SelfTestIterations() {
  for (const auto& c : kIterations) {
    SelfTestAssert(CalculateIterationsQuality(c.quality.data(), c.difficulty,
                                              c.signagePoint.data()) == c.answer);
  }
}

void SelfTestAesGcm() {
  const uint8_t key[16] = {0x0f, 0x1e, 0x2d, 0x3c, 0x4b, 0x5a, 0x69, 0x78,
                           0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0};
  std::vector<uint8_t> plain(256, 0), cipher(256), back(256, 0xff);
  uint8_t tag[16];
  AesGcmEncrypt(plain.data(), 256, key, 0, cipher.data(), tag);
  SelfTestAssert(AesGcmDecrypt(cipher.data(), 256, key, 0, back.data(), tag));
  SelfTestAssert(back == plain);
}

void SelfTestEd25519() {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1) ThrowOpenSslError();
  EVP_PKEY* rawKey = nullptr;
  if (EVP_PKEY_keygen(ctx.get(), &rawKey) != 1) ThrowOpenSslError();
  PkeyPtr generated(rawKey);

  uint8_t publicKey[32], privateKey[32];
  size_t publicLen = sizeof(publicKey), privateLen = sizeof(privateKey);
  if (EVP_PKEY_get_raw_public_key(generated.get(), publicKey, &publicLen) != 1 ||
      EVP_PKEY_get_raw_private_key(generated.get(), privateKey, &privateLen) != 1) {
    ThrowOpenSslError();
  }
  SelfTestAssert(publicLen == 32 && privateLen == 32);
  PkeyPtr imported(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, privateKey, privateLen));
  OPENSSL_cleanse(privateKey, sizeof(privateKey));
  if (!imported) ThrowOpenSslError();

  std::vector<uint8_t> message(1024, 0);
  MdCtxPtr md(EVP_MD_CTX_new());
  if (!md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, imported.get()) != 1) {
    ThrowOpenSslError();
  }
  size_t signatureLen = 0;
  if (EVP_DigestSign(md.get(), nullptr, &signatureLen, message.data(), message.size()) != 1) {
    ThrowOpenSslError();
  }
  SelfTestAssert(signatureLen == 64);
  uint8_t signature[64];
  if (EVP_DigestSign(md.get(), signature, &signatureLen, message.data(), message.size()) != 1) {
    ThrowOpenSslError();
  }
  SelfTestAssert(signatureLen == 64);
  SelfTestAssert(Ed25519Verify(publicKey, signature, message.data(), message.size()));
}

void SelfTestAddress() {
  Bytes32 hash{};
  SelfTestAssert(DecodeChiaAddress(kFixedAddress, hash.data()));
  SelfTestAssert(hash == kFixedPuzzleHash);
  std::vector<uint8_t> groups;
  groups.reserve(52);
  Bech32ConvertBits(groups, kFixedPuzzleHash.data(), kFixedPuzzleHash.data() + 32);
  SelfTestAssert(groups.size() == 52);
  SelfTestAssert(Bech32mEncode("xch", groups) == kFixedAddress);
}

}  // namespace

void SelfTestAssert(bool ok) {
  if (ok) return;
  static constexpr char kText[] = "runtime assertion";
  ssize_t ignored = ::write(STDERR_FILENO, kText, sizeof(kText) - 1);
  (void)ignored;
  std::abort();
}

void SelfTestPlotKeys() {
  const Bytes32 seed{};
  const Deployment::PlotKeyAnswers& answers = ActiveDeployment().selfTestPlotKeys;
  Bytes32 id, a, b;
  Bytes48 pkb;
  CreatePlotKeys(id.data(), seed.data(), a.data(), b.data(), pkb.data(), nullptr);
  SelfTestAssert(a == kV1 && b == kV2 && pkb == answers.publicKeyB && id == answers.plotId);
  SelfTestAssert(CheckPlotPublicKey(b.data(), pkb.data()));
  SelfTestAssert(ComputePlotPublicKey(id.data(), a.data(), pkb.data(), nullptr));

  std::vector<uint8_t> d = bls::PrivateKey::FromBytes(a).GetG1Element().Serialize();
  if (d.size() != 48) throw std::invalid_argument("Invalid vector length");

  Bytes32 id2, a2, b2;
  Bytes48 pkb2;
  CreatePlotKeys(id2.data(), seed.data(), a2.data(), b2.data(), pkb2.data(), d.data());
  SelfTestAssert(a2 == kV1 && b2 == kV2 && pkb2 == answers.delegatedPublicKeyB &&
                 id2 == answers.delegatedPlotId);
  SelfTestAssert(!CheckPlotPublicKey(b2.data(), pkb2.data()));
  SelfTestAssert(!ComputePlotPublicKey(id2.data(), a2.data(), pkb2.data(), nullptr));

  AggregatePlotSecretKey(a2.data(), b2.data(), a.data());
  SelfTestAssert(CheckPlotPublicKey(b2.data(), pkb2.data()));
  SelfTestAssert(ComputePlotPublicKey(id2.data(), a2.data(), pkb2.data(), nullptr));
}

void SelfTestRsa() {
  static const BnPtr kExponent = [] {
    BnPtr e(BN_new());
    if (!e || BN_set_word(e.get(), 3) != 1) ThrowOpenSslError();
    return e;
  }();
  RsaPtr key(RSA_new());
  if (!key || RSA_generate_key_ex(key.get(), 1024, kExponent.get(), nullptr) != 1) {
    ThrowOpenSslError();
  }
  const BIGNUM* n = nullptr;
  RSA_get0_key(key.get(), &n, nullptr, nullptr);
  uint8_t modulus[128];
  if (BN_bn2binpad(n, modulus, sizeof(modulus)) != 128) ThrowOpenSslError();

  RsaPtr publicKey(RSA_new());
  BnPtr nCopy(BN_bin2bn(modulus, sizeof(modulus), nullptr));
  BnPtr eCopy(BN_dup(kExponent.get()));
  if (!publicKey || !nCopy || !eCopy) ThrowOpenSslError();
  if (RSA_set0_key(publicKey.get(), nCopy.get(), eCopy.get(), nullptr) != 1) {
    ThrowOpenSslError();
  }
  nCopy.release();  // owned by public_key now
  eCopy.release();

  uint8_t message[86], cipher[128], plain[128];
  if (RAND_bytes(message, sizeof(message)) != 1) ThrowOpenSslError();
  int cipherLen = RSA_public_encrypt(sizeof(message), message, cipher, publicKey.get(),
                                      RSA_PKCS1_OAEP_PADDING);
  if (cipherLen < 0) ThrowOpenSslError();
  SelfTestAssert(cipherLen == 128);
  int plainLen = RSA_private_decrypt(cipherLen, cipher, plain, key.get(), RSA_PKCS1_OAEP_PADDING);
  if (plainLen < 0) ThrowOpenSslError();
  SelfTestAssert(plainLen == 86 && std::memcmp(plain, message, 86) == 0);
}

void RunSelfTest() {
  CheckDeployment(ActiveDeployment());
  SelfTestSha256();
  SelfTestBlake3();
  SelfTestPlotKeys();
  SelfTestIterations();
  SelfTestAesGcm();
  SelfTestRsa();
  SelfTestEd25519();
  SelfTestAddress();
}
