#pragma once
// Plot keys: the two secrets of a plot, its public key, the plot id that binds them, and
// delegated plotting (plots made for an owner who later adds the missing key share).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "chia/bls/g1_element.h"

// The key record: the first 161 bytes of the 512-byte key block of a plot header.
constexpr size_t kPlotKeyBlockBytes = 512;
using PlotKeyBlock = uint8_t[kPlotKeyBlockBytes];
constexpr size_t kPlotKeyRecordBytes = 161;
constexpr size_t kKeyRecordKind = 0;
constexpr size_t kKeyRecordSecretA = 1;
constexpr size_t kKeyRecordSecretB = 33;
constexpr size_t kKeyRecordPublicKeyB = 65;
constexpr size_t kKeyRecordDelegationKey = 113;

enum PlotKeyKind : uint8_t {
  kPlotKeysOwn = 0,
  kPlotKeysDelegated = 1,
  kPlotKeysCompleted = 2,
};

using PlotPublicKey = std::array<uint8_t, 48>;
using PlotSecretKey = std::array<uint8_t, 32>;

struct PublicKeyLess {
  bool operator()(const PlotPublicKey& a, const PlotPublicKey& b) const {
    return std::memcmp(a.data(), b.data(), a.size()) < 0;
  }
};
using DelegatedPlotKeyMap = std::map<PlotPublicKey, PlotSecretKey, PublicKeyLess>;

// Password-derived keys, filled at start-up and only read afterwards.
extern DelegatedPlotKeyMap DelegatedPlotKeys;
// The -k key: DelegatedPublicKey points at delegatedPublicKeyBytes once set, null until then.
extern PlotPublicKey delegatedPublicKeyBytes;
extern const uint8_t* DelegatedPublicKey;

// Derives both secrets (secret A always odd), public key B and the plot id from a 32-byte seed.
// delegation_key (48 bytes) may be null. Returns plot_id.
uint8_t* CreatePlotKeys(uint8_t plotId[32], const uint8_t seed[32], uint8_t secretA[32],
                        uint8_t secretB[32], uint8_t publicKeyB[48],
                        const uint8_t* delegationKey);

// SHA-256(first || second).
uint8_t* ComputePlotId(uint8_t out[32], const uint8_t first[48], const uint8_t second[48]);

// The fixed G1 element F added to every plot public key.
const bls::G1Element& GetFixedG1Constant();

// A := A + share, B := B + share modulo the group order.
void AggregatePlotSecretKey(uint8_t secretA[32], uint8_t secretB[32], const uint8_t share[32]);

// Whether SHA-256(public_key_b || (A x G1 + F (+ delegation key))) equals the plot id.
// Never throws.
bool ComputePlotPublicKey(const uint8_t plotId[32], const uint8_t secretA[32],
                          const uint8_t publicKeyB[48], const uint8_t* delegationKey);

// Whether B x G1 + F serialises to the expected key. Never throws.
bool CheckPlotPublicKey(const uint8_t secretB[32], const uint8_t expected[48]);

// Key pair of a delegated-plotting password (its terminating zero byte is hashed too).
void DeriveKeyFromPassword(const char* password, uint8_t secret[32], uint8_t publicKey[48]);

// Adds the password's key pair to DelegatedPlotKeys and prints its public key.
void PrintDelegatedPlottingKey(const char* password);

DelegatedPlotKeyMap::const_iterator FindDelegatedPlotKey(const uint8_t publicKey[48]);

// Hex text to bytes, skipping a leading "0x"; throws std::invalid_argument on bad input.
std::vector<uint8_t> HexStringToBytes(std::string_view text);

// How plotting and plot management reach the keys.
class PlotKeyProvider {
 public:
  // Fresh keys for a new plot into a 512-byte key block; code as Classify would give.
  virtual bool NewPlotKeys(uint8_t plotId[32], uint8_t* keysPresent, uint8_t* keyBlock,
                           uint32_t* code) = 0;
  // 0 own keys, 1 completed, 2 another user's key, 3 the -k key without its password,
  // 4 completable here, 5 unknown kind.
  virtual uint32_t Classify(const uint8_t plotId[32], const uint8_t* record) = 0;
  // Completes a kind-1 record with the password-derived share.
  virtual bool DeriveKeys(const uint8_t plotId[32], uint8_t* record) = 0;
  // Checks the record against the plot id; the delegation key's text, or empty for own keys.
  virtual std::string CheckPlotId(const uint8_t plotId[32], const uint8_t* record) = 0;

 protected:
  ~PlotKeyProvider() = default;
};

// The process-wide default provider.
PlotKeyProvider* DefaultPlotKeyProvider();
