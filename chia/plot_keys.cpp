#include "chia/plot_keys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <iostream>
#include <stdexcept>

#include "chia/bls/aug_scheme_mpl.h"
#include "chia/bls/private_key.h"
#include "chia/chia_address.h"
#include "chia/deployment.h"
#include "chia/openssl_error.h"
#include "chia/thread_digest_context.h"

DelegatedPlotKeyMap DelegatedPlotKeys;
PlotPublicKey delegatedPublicKeyBytes{};
const uint8_t* DelegatedPublicKey = nullptr;

namespace {

constexpr uint8_t kPasswordSalt[16] = {0x3a, 0x5c, 0x7e, 0x9b, 0x1d, 0x2f, 0x4a, 0x6c,
                                       0x8e, 0x0b, 0x2d, 0x4f, 0x6a, 0x8c, 0x0e, 0x1b};

const bls::AugSchemeMPL& Scheme() {
  static const bls::AugSchemeMPL kScheme;
  return kScheme;
}

// Secret bytes wiped when they go out of scope.
template <size_t N>
struct SecretBytes {
  std::array<uint8_t, N> bytes{};
  ~SecretBytes() { OPENSSL_cleanse(bytes.data(), N); }
  uint8_t* data() { return bytes.data(); }
};

void SerializeKey(const bls::G1Element& key, uint8_t out[48]) {
  std::vector<uint8_t> bytes = key.Serialize();
  if (bytes.size() != 48) throw std::invalid_argument("Invalid vector length");
  std::memcpy(out, bytes.data(), 48);
}

bls::PrivateKey KeyFromBytes(const uint8_t secret[32]) {
  return bls::PrivateKey::FromBytes(bls::Bytes(secret, 32));
}

}  // namespace

std::vector<uint8_t> HexStringToBytes(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && text[1] == 'x') text.remove_prefix(2);
  if (text.size() % 2 != 0) {
    throw std::invalid_argument("Invalid input string, length must be multple of 2");
  }
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<uint8_t> out(text.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = nibble(text[2 * i]);
    int lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) throw std::invalid_argument("Invalid input string");
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return out;
}

const bls::G1Element& GetFixedG1Constant() {
  // Every plot id depends on this key: plots made under one pool key fail the keys check under
  // another.
  static const bls::G1Element kF = bls::G1Element::FromBytes(ActiveDeployment().poolPublicKey);
  return kF;
}

uint8_t* ComputePlotId(uint8_t out[32], const uint8_t first[48], const uint8_t second[48]) {
  thread_local ThreadDigestContext context;
  const DigestPiece pieces[] = {{first, 48}, {second, 48}};
  Sha256Pieces(context.Get(), pieces, 2, out);
  return out;
}

uint8_t* CreatePlotKeys(uint8_t plotId[32], const uint8_t seed[32], uint8_t secretA[32],
                        uint8_t secretB[32], uint8_t publicKeyB[48],
                        const uint8_t* delegationKey) {
  const bls::AugSchemeMPL& scheme = Scheme();
  bls::PrivateKey master = scheme.KeyGen(bls::Bytes(seed, 32));
  bls::PrivateKey c0 = scheme.DeriveChildSk(master, 0);
  c0.Serialize(secretA);
  // An odd secret A; each retry starts from the previous secret.
  while ((secretA[31] & 1) == 0) {
    master = scheme.KeyGen(bls::Bytes(secretA, 32));
    c0 = scheme.DeriveChildSk(master, 0);
    c0.Serialize(secretA);
  }
  bls::PrivateKey c1 = scheme.DeriveChildSk(master, 1);
  c1.Serialize(secretB);

  const bls::G1Element& f = GetFixedG1Constant();
  bls::G1Element pa = c0.GetG1Element() + f;
  bls::G1Element pb = c1.GetG1Element() + f;
  if (delegationKey != nullptr) {
    bls::G1Element d = bls::G1Element::FromBytes(bls::Bytes(delegationKey, 48));
    pa += d;
    pb += d;
  }
  SerializeKey(pb, publicKeyB);
  uint8_t paBytes[48];
  SerializeKey(pa, paBytes);
  return ComputePlotId(plotId, publicKeyB, paBytes);
}

void AggregatePlotSecretKey(uint8_t secretA[32], uint8_t secretB[32], const uint8_t share[32]) {
  for (uint8_t* x : {secretA, secretB}) {
    bls::PrivateKey::Aggregate({KeyFromBytes(x), KeyFromBytes(share)}).Serialize(x);
  }
}

bool ComputePlotPublicKey(const uint8_t plotId[32], const uint8_t secretA[32],
                          const uint8_t publicKeyB[48], const uint8_t* delegationKey) {
  try {
    bls::G1Element p = KeyFromBytes(secretA).GetG1Element() + GetFixedG1Constant();
    if (delegationKey != nullptr) p += bls::G1Element::FromBytes(bls::Bytes(delegationKey, 48));
    std::vector<uint8_t> bytes = p.Serialize();
    if (bytes.size() != 48) return false;
    uint8_t id[32];
    ComputePlotId(id, publicKeyB, bytes.data());
    return std::memcmp(id, plotId, 32) == 0;
  } catch (...) {
    return false;
  }
}

bool CheckPlotPublicKey(const uint8_t secretB[32], const uint8_t expected[48]) {
  try {
    bls::G1Element p = KeyFromBytes(secretB).GetG1Element() + GetFixedG1Constant();
    std::vector<uint8_t> bytes = p.Serialize();
    return bytes.size() == 48 && std::memcmp(bytes.data(), expected, 48) == 0;
  } catch (...) {
    return false;
  }
}

void DeriveKeyFromPassword(const char* password, uint8_t secret[32], uint8_t publicKey[48]) {
  thread_local ThreadDigestContext context;
  const DigestPiece pieces[] = {{kPasswordSalt, sizeof(kPasswordSalt)},
                                {password, std::strlen(password) + 1}};
  SecretBytes<32> seed;
  Sha256Pieces(context.Get(), pieces, 2, seed.data());
  // The finished digest state equals the seed; it must not stay in the thread's context.
  EVP_MD_CTX_reset(context.Get());
  const bls::AugSchemeMPL& scheme = Scheme();
  bls::PrivateKey key = scheme.DeriveChildSk(scheme.KeyGen(seed.bytes), 0);
  key.Serialize(secret);
  SerializeKey(key.GetG1Element(), publicKey);
}

void PrintDelegatedPlottingKey(const char* password) {
  SecretBytes<32> secret;
  PlotPublicKey publicKey;
  DeriveKeyFromPassword(password, secret.data(), publicKey.data());
  DelegatedPlotKeys[publicKey] = secret.bytes;
  std::cout << "Public key for delegated plotting: " << EncodeKeyBech32m(publicKey.data()) << "\n"
            << "Give this key to the person who will make plots\n"
            << std::flush;
}

DelegatedPlotKeyMap::const_iterator FindDelegatedPlotKey(const uint8_t publicKey[48]) {
  PlotPublicKey key;
  std::memcpy(key.data(), publicKey, key.size());
  return DelegatedPlotKeys.find(key);
}

namespace {

class StandardPlotKeyProvider final : public PlotKeyProvider {
 public:
  constexpr StandardPlotKeyProvider() = default;

  bool NewPlotKeys(uint8_t plotId[32], uint8_t* keysPresent, uint8_t* keyBlock,
                   uint32_t* code) override {
    SecretBytes<kPlotKeyBlockBytes> block;
    SecretBytes<32> seed;
    if (RAND_bytes(seed.data(), 32) != 1) ThrowOpenSslError();
    uint8_t id[32];
    uint8_t* record = block.data();
    CreatePlotKeys(id, seed.data(), record + kKeyRecordSecretA, record + kKeyRecordSecretB,
                   record + kKeyRecordPublicKeyB, DelegatedPublicKey);
    uint32_t result = 0;
    if (DelegatedPublicKey != nullptr) {
      record[kKeyRecordKind] = kPlotKeysDelegated;
      std::memcpy(record + kKeyRecordDelegationKey, DelegatedPublicKey, 48);
      result = FindDelegatedPlotKey(DelegatedPublicKey) != DelegatedPlotKeys.end() ? 4 : 3;
    } else {
      record[kKeyRecordKind] = kPlotKeysOwn;
    }
    *keysPresent = 1;
    std::memcpy(plotId, id, 32);
    std::memcpy(keyBlock, block.data(), kPlotKeyBlockBytes);
    *code = result;
    return true;
  }

  uint32_t Classify(const uint8_t* /*plot_id*/, const uint8_t* record) override {
    switch (record[kKeyRecordKind]) {
      case kPlotKeysOwn:
        return 0;
      case kPlotKeysCompleted:
        return 1;
      case kPlotKeysDelegated:
        break;
      default:
        return 5;
    }
    const uint8_t* key = record + kKeyRecordDelegationKey;
    if (FindDelegatedPlotKey(key) != DelegatedPlotKeys.end()) return 4;
    if (DelegatedPublicKey == nullptr) return 2;
    return std::memcmp(key, DelegatedPublicKey, 48) == 0 ? 3 : 2;
  }

  bool DeriveKeys(const uint8_t plotId[32], uint8_t* record) override {
    if (record[kKeyRecordKind] != kPlotKeysDelegated) throw std::runtime_error("feefadaf");
    auto it = FindDelegatedPlotKey(record + kKeyRecordDelegationKey);
    if (it == DelegatedPlotKeys.end()) {
      throw std::runtime_error("Unknown public key for delegated plotting");
    }
    SecretBytes<32> a, b;
    std::memcpy(a.data(), record + kKeyRecordSecretA, 32);
    std::memcpy(b.data(), record + kKeyRecordSecretB, 32);
    AggregatePlotSecretKey(a.data(), b.data(), it->second.data());
    const uint8_t* publicKeyB = record + kKeyRecordPublicKeyB;
    if (!CheckPlotPublicKey(b.data(), publicKeyB) ||
        !ComputePlotPublicKey(plotId, a.data(), publicKeyB, nullptr)) {
      throw std::runtime_error("Plot keys are inconsistent with plot id (1)");
    }
    std::memcpy(record + kKeyRecordSecretA, a.data(), 32);
    std::memcpy(record + kKeyRecordSecretB, b.data(), 32);
    record[kKeyRecordKind] = kPlotKeysCompleted;
    return true;
  }

  std::string CheckPlotId(const uint8_t plotId[32], const uint8_t* record) override {
    const uint8_t* secretA = record + kKeyRecordSecretA;
    const uint8_t* publicKeyB = record + kKeyRecordPublicKeyB;
    const uint8_t* delegationKey = record + kKeyRecordDelegationKey;
    switch (record[kKeyRecordKind]) {
      case kPlotKeysOwn:
        return std::string();
      case kPlotKeysDelegated:
        if (!ComputePlotPublicKey(plotId, secretA, publicKeyB, delegationKey)) {
          throw std::runtime_error("Plot keys are inconsistent with plot id (2)");
        }
        break;
      case kPlotKeysCompleted:
        if (!ComputePlotPublicKey(plotId, secretA, publicKeyB, nullptr)) {
          throw std::runtime_error("Plot keys are inconsistent with plot id (3)");
        }
        break;
      default:
        throw std::runtime_error("4f8ec967");
    }
    return EncodeKeyBech32m(delegationKey);
  }
};

constinit StandardPlotKeyProvider defaultProvider;

}  // namespace

PlotKeyProvider* DefaultPlotKeyProvider() { return &defaultProvider; }
