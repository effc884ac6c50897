#include "chia/bls/core_mpl.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "chia/bls/hash.h"

namespace bls {
namespace {

constexpr size_t kLamportChunks = 255;
constexpr size_t kChunkBytes = 32;

// Hashes of the 255 Lamport secret chunks derived from ikm, appended to out.
void AppendLamportHashes(std::span<const uint8_t> ikm, std::span<const uint8_t> salt,
                         std::vector<uint8_t>& out) {
  std::vector<uint8_t> okm(kLamportChunks * kChunkBytes);
  HkdfSha256(salt, ikm, {}, okm);
  for (size_t i = 0; i < kLamportChunks; ++i) {
    auto h = Sha256(std::span<const uint8_t>(okm).subspan(i * kChunkBytes, kChunkBytes));
    out.insert(out.end(), h.begin(), h.end());
    OPENSSL_cleanse(h.data(), h.size());
  }
  OPENSSL_cleanse(okm.data(), okm.size());
}

}  // namespace

PrivateKey CoreMPL::KeyGen(const Bytes& seed) const {
  if (seed.size() < 32) throw std::invalid_argument("Seed size must be at least 32 bytes");
  static constexpr char kSalt[] = "BLS-SIG-KEYGEN-SALT-";
  static constexpr uint8_t kInfo[2] = {0x00, 0x30};  // I2OSP(48, 2)
  // Sized once: a reallocation would free a copy of the seed without wiping it.
  std::vector<uint8_t> ikm(seed.size() + 1, 0);
  std::copy(seed.begin(), seed.end(), ikm.begin());
  std::array<uint8_t, 48> okm;
  HkdfSha256(std::span(reinterpret_cast<const uint8_t*>(kSalt), sizeof(kSalt) - 1), ikm, kInfo,
             okm);
  PrivateKey sk(Scalar::FromBytesReduce(okm));
  OPENSSL_cleanse(ikm.data(), ikm.size());
  OPENSSL_cleanse(okm.data(), okm.size());
  return sk;
}

PrivateKey CoreMPL::DeriveChildSk(const PrivateKey& sk, uint32_t index) const {
  const std::array<uint8_t, 4> salt = {
      static_cast<uint8_t>(index >> 24), static_cast<uint8_t>(index >> 16),
      static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)};
  std::array<uint8_t, 32> ikm;
  sk.Serialize(ikm.data());
  std::array<uint8_t, 32> notIkm;
  for (size_t i = 0; i < ikm.size(); ++i) notIkm[i] = static_cast<uint8_t>(~ikm[i]);

  std::vector<uint8_t> lamportPk;
  lamportPk.reserve(2 * kLamportChunks * kChunkBytes);
  AppendLamportHashes(ikm, salt, lamportPk);
  AppendLamportHashes(notIkm, salt, lamportPk);
  auto compressed = Sha256(lamportPk);
  // The compressed Lamport key is the child's seed: none of its inputs may linger.
  OPENSSL_cleanse(lamportPk.data(), lamportPk.size());
  OPENSSL_cleanse(ikm.data(), ikm.size());
  OPENSSL_cleanse(notIkm.data(), notIkm.size());
  PrivateKey child = KeyGen(compressed);
  OPENSSL_cleanse(compressed.data(), compressed.size());
  return child;
}

}  // namespace bls
