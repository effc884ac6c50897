#pragma once
// The checks of the datagrams the server sends. Each check that fails throws std::runtime_error
// with its code; the checks run in a fixed order, so the first failing one names the code. Keys
// come in as arguments: the program passes its deployment's, tests their own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "chia/bls/g1_element.h"
#include "pool/hello_key.h"
#include "pool/packet_layout.h"

class PoolSession;

struct SignagePoint {
  std::array<uint8_t, 32> challengeHash{};
  std::array<uint8_t, 32> signagePointHash{};
  uint64_t difficulty = 0;
  uint64_t blockWinBound = 0;
  int32_t time = 0;  // server clock, Unix seconds
  uint8_t shareFactor = 0;
  uint8_t index = 0;
  uint8_t timeLimitSeconds = 0;
};

// Exactly 152 bytes ("83ff4ca8") signed by the server key ("48acec6f").
SignagePoint CheckSignagePoint(const uint8_t* datagram, size_t length,
                               const std::array<uint8_t, 32>& serverKey);

// What a handshake reply certifies once its head has passed every check.
struct HandshakeReply {
  int32_t expiry = 0;
  int32_t lifetime = 0;
  std::array<uint8_t, 32> sessionPublicKey{};
  std::array<uint8_t, 16> sessionKey{};
  std::array<uint8_t, 16> serverToken{};
  uint8_t cacheDelay = 0;
  uint8_t copyMultiplier = 0;
  int64_t sessionId = 0;
  bool hasBody = false;  // longer than the 295-byte head
};

// The hello a reply must answer.
struct PendingHello {
  int64_t clientTime = 0;
  int64_t clock = 0;  // system clock in Unix seconds plus the offset that hello used
  const HelloKey* key = nullptr;
};

// The head of a handshake reply, in order: length at least 295 ("e1bc5d1f"); the echo of the
// hello's client time (else nothing: the reply is old or not ours, and no other check ran);
// expiry after the clock and the pool's BLS signature of bytes 1..40 ("6f50e54c"); a hello key
// ("05282f36"); the session key opening to 80 bytes ("b452b1f9"); the session key's Ed25519
// signature of the hello's modulus ("ab0d4287"). Changes nothing but its own result.
std::optional<HandshakeReply> OpenHandshakeReply(const uint8_t* datagram, size_t length,
                                                 const PendingHello& hello,
                                                 const bls::G1Element& poolKey);

// The signed update block of a reply body; its first 22 bytes are the UpdateDescriptor.
using UpdateAnnouncement = std::array<uint8_t, reply_layout::kAnnouncementBytes>;

struct ReplyBody {
  uint64_t nonce = 0;
  int8_t kind = -1;  // negative: no update; 0: this client is no longer supported; 1..4 update
  UpdateAnnouncement announcement{};  // for a positive kind
  std::string text;  // at most 229 characters, up to the first zero byte
};

// The body of a reply longer than 295 bytes, under the session key the head delivered: at least
// 319 bytes ("d3385a7b"), opens ("03300cfa"), a positive kind has its 88-byte announcement
// ("80fb618a"), the kind does not exceed the update policy ("96f9b4b7"). Once the body opens,
// its nonce joins the replay window of `window` (when given), also when a later check fails.
ReplyBody OpenReplyBody(const uint8_t* datagram, size_t length,
                        const std::array<uint8_t, 16>& sessionKey, uint8_t updatePolicy,
                        PoolSession* window = nullptr);

struct UpdateDescriptor {
  uint16_t version = 0;  // high byte major, low byte minor
  std::array<uint8_t, 20> infoHash{};
  uint8_t shareRatioTarget = 0;
  uint8_t seedingMinutes = 0;
};

// The descriptor signed by the update key ("60004891") for a version above the running one
// ("18618d3c").
UpdateDescriptor CheckUpdateAnnouncement(const UpdateAnnouncement& announcement,
                                         const std::array<uint8_t, 32>& updateKey);

// A server message: exactly 153 bytes ("7cfdcc27") accepted by the session ("73493af8"); opens
// the datagram in place and returns its text, at most 127 characters up to the first zero byte.
std::string OpenServerMessage(PoolSession& session, uint8_t* datagram, size_t length);
