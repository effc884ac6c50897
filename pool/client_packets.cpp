#include "pool/client_packets.h"

#include <openssl/crypto.h>

#include <cstring>

#include "chia/aes_gcm.h"
#include "chia/blake3_hash.h"

namespace {

template <size_t N>
void Put(Packet& packet, size_t offset, const std::array<uint8_t, N>& bytes) {
  std::memcpy(packet.data() + offset, bytes.data(), N);
}

// Session id, nonce, then the tag and ciphertext of `length` payload bytes sealed in place.
Packet& Seal(Packet& packet, const SessionCredentials& session, uint64_t nonce, size_t length) {
  namespace s = sealed_layout;
  StoreLe<int64_t>(packet.data() + s::kSessionId, session.sessionId);
  StoreLe<uint64_t>(packet.data() + s::kNonce, nonce);
  uint8_t* payload = packet.data() + s::kPayload;
  AesGcmEncrypt(length > 0 ? payload : nullptr, static_cast<uint32_t>(length), session.key.data(),
                nonce, length > 0 ? payload : nullptr, packet.data() + s::kTag);
  return packet;
}

}  // namespace

Packet BuildHello(const HelloFields& fields, const SessionCredentials& session, uint64_t nonce) {
  namespace h = hello_layout;
  Packet packet{};
  packet[0] = static_cast<uint8_t>(PacketType::Hello);
  StoreLe<uint16_t>(packet.data() + h::kVersion, kProtocolVersion);
  Put(packet, h::kPlotId, fields.plotId);
  StoreLe<uint32_t>(packet.data() + h::kClientTime, fields.clientTime);
  Put(packet, h::kProof, fields.proof);
  Put(packet, h::kModulus, fields.modulus);
  Put(packet, h::kServerToken, fields.serverToken);
  packet[h::kUpdatePolicy] = fields.updatePolicy;
  if (session.sessionId >= 0) {
    StoreLe<int64_t>(packet.data() + h::kSessionId, session.sessionId);
    StoreLe<uint64_t>(packet.data() + h::kNonce, nonce);
    uint8_t digest[32];
    Blake3Hash(fields.modulus.data(), fields.modulus.size(), digest);
    AesGcmEncrypt(digest, 16, session.key.data(), nonce, packet.data() + h::kSealedDigest,
                  packet.data() + h::kTag);
  }
  return packet;
}

Packet BuildKeepalive(const SessionCredentials& session, uint64_t nonce) {
  Packet packet{};
  packet[0] = static_cast<uint8_t>(PacketType::Keepalive);
  return Seal(packet, session, nonce, 0);
}

Packet BuildSignagePointAck(const SessionCredentials& session, uint64_t nonce,
                            const uint8_t signagePointHash[32]) {
  Packet packet{};
  packet[0] = static_cast<uint8_t>(PacketType::SignagePointAck);
  std::memcpy(packet.data() + sealed_layout::kPayload, signagePointHash, 32);
  return Seal(packet, session, nonce, 32);
}

Packet BuildShare(const ShareFields& fields, const SessionCredentials& session, uint64_t nonce) {
  namespace s = share_layout;
  Packet packet{};
  packet[0] = static_cast<uint8_t>(PacketType::Share);
  Put(packet, s::kSignagePointHash, fields.signagePointHash);
  Put(packet, s::kPlotId, fields.plotId);
  Put(packet, s::kProof, fields.proof);
  packet[s::kKeyKind] = fields.keys[0];
  std::memcpy(packet.data() + s::kKeys, fields.keys.data() + 1, s::kKeysBytes);
  Put(packet, s::kRewardPuzzleHash, fields.rewardPuzzleHash);
  Put(packet, s::kWorkerName, fields.workerName);
  StoreLe<uint64_t>(packet.data() + s::kWorkerId, fields.workerId);
  packet[s::kCompressionLevel] = fields.compressionLevel;
  try {
    return Seal(packet, session, nonce, sealed_layout::kSharePayloadBytes);
  } catch (...) {
    OPENSSL_cleanse(packet.data(), packet.size());
    throw;
  }
}
