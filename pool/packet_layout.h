#pragma once
// The pool datagrams: their sizes, type bytes and field offsets. Multi-byte integers are
// little-endian on the wire.

#include <array>
#include <cstddef>
#include <cstdint>

// Every datagram the client sends, and its receive size.
inline constexpr size_t kPacketBytes = 548;
using Packet = std::array<uint8_t, kPacketBytes>;

inline constexpr char kPoolService[] = "8708";
inline constexpr uint16_t kProtocolVersion = 0x0103;

enum class PacketType : uint8_t {
  Hello = 0,
  HandshakeReply = 1,
  SignagePoint = 2,
  Share = 3,
  Keepalive = 4,
  ServerMessage = 5,
  SignagePointAck = 6,
};

namespace hello_layout {
inline constexpr size_t kVersion = 1, kPlotId = 3, kClientTime = 35, kProof = 39, kModulus = 295,
                        kServerToken = 423, kUpdatePolicy = 440, kSessionId = 441, kNonce = 449,
                        kTag = 457, kSealedDigest = 473;
}  // namespace hello_layout

namespace reply_layout {
inline constexpr size_t kExpiry = 1, kLifetime = 5, kSessionPublicKey = 9, kSignature = 41,
                        kEcho = 137, kSealedKey = 141, kServerToken = 269, kCacheDelay = 285,
                        kCopyMultiplier = 286, kSessionId = 287, kHeaderBytes = 295,
                        kBodyNonce = 295, kBodyTag = 303, kBody = 319;
// Body: kind, then the announcement for a positive kind, then the text.
inline constexpr size_t kAnnouncementBytes = 88, kTextLimit = 230;
}  // namespace reply_layout

namespace signage_point_layout {
inline constexpr size_t kChallengeHash = 1, kSignagePointHash = 33, kDifficulty = 65,
                        kBlockWinBound = 73, kTime = 81, kShareFactor = 85, kIndex = 86,
                        kTimeLimit = 87, kSignature = 88, kBytes = 152;
}  // namespace signage_point_layout

// Keepalive, acknowledgement and share share their head.
namespace sealed_layout {
inline constexpr size_t kSessionId = 1, kNonce = 9, kTag = 17, kPayload = 33;
inline constexpr size_t kKeepaliveBytes = 33, kAckBytes = 65, kSharePayloadBytes = 491;
}  // namespace sealed_layout

namespace share_layout {
inline constexpr size_t kSignagePointHash = 33, kPlotId = 65, kProof = 97, kKeyKind = 354,
                        kKeys = 355, kKeysBytes = 112, kRewardPuzzleHash = 467, kWorkerName = 499,
                        kWorkerId = 515, kCompressionLevel = 523;
}  // namespace share_layout

namespace server_message_layout {
inline constexpr size_t kNonce = 1, kTag = 9, kText = 25, kTextBytes = 128, kBytes = 153;
}  // namespace server_message_layout

template <typename T>
void StoreLe(uint8_t* out, T value) {
  for (size_t i = 0; i < sizeof(T); ++i)
    out[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

template <typename T>
T LoadLe(const uint8_t* in) {
  uint64_t value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= uint64_t{in[i]} << (8 * i);
  return static_cast<T>(value);
}
