#pragma once
// The datagrams the client sends. Each is 548 bytes, zero where its layout names nothing; the
// sealed ones carry their nonce, the GCM tag and the ciphertext under the session key.

#include <array>
#include <cstdint>

#include "pool/packet_layout.h"
#include "pool/pool_session.h"

struct HelloFields {
  std::array<uint8_t, 32> plotId{};  // zero when the hello carries no proof
  uint32_t clientTime = 0;           // zero when no proof was attempted
  std::array<uint8_t, 256> proof{};  // the proof's 64 x values for BLAKE3(clientTime bytes)
  std::array<uint8_t, 128> modulus{};
  std::array<uint8_t, 16> serverToken{};
  uint8_t updatePolicy = 0;
};

// Without a session (negative id) the session part stays zero and the nonce is not used;
// with one it carries the session id, the nonce and the sealed 16-byte BLAKE3 of the modulus.
Packet BuildHello(const HelloFields& fields, const SessionCredentials& session, uint64_t nonce);

Packet BuildKeepalive(const SessionCredentials& session, uint64_t nonce);

Packet BuildSignagePointAck(const SessionCredentials& session, uint64_t nonce,
                            const uint8_t signagePointHash[32]);

struct ShareFields {
  std::array<uint8_t, 32> signagePointHash{};
  std::array<uint8_t, 32> plotId{};
  std::array<uint8_t, 256> proof{};
  // Bytes 0..112 of the plot's key block: kind, secret A, secret B, public key B.
  std::array<uint8_t, 113> keys{};
  std::array<uint8_t, 32> rewardPuzzleHash{};
  std::array<uint8_t, 16> workerName{};
  uint64_t workerId = 0;
  uint8_t compressionLevel = 0;
};

// The share carries the plot's secret keys: its plaintext never leaves this function.
Packet BuildShare(const ShareFields& fields, const SessionCredentials& session, uint64_t nonce);
