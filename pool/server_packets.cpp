#include "pool/server_packets.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "chia/aes_gcm.h"
#include "chia/bls/aug_scheme_mpl.h"
#include "chia/ed25519.h"
#include "pool/pool_session.h"
#include "runtime/version.h"

namespace {

[[noreturn]] void Fail(const char* code) { throw std::runtime_error(code); }

template <size_t N>
std::array<uint8_t, N> Take(const uint8_t* at) {
  std::array<uint8_t, N> out;
  std::memcpy(out.data(), at, N);
  return out;
}

// Text up to the first zero byte, at most `limit` bytes.
std::string TextUpToZero(const uint8_t* text, size_t limit) {
  const uint8_t* end = std::find(text, text + limit, uint8_t{0});
  return std::string(reinterpret_cast<const char*>(text), end - text);
}

}  // namespace

SignagePoint CheckSignagePoint(const uint8_t* datagram, size_t length,
                               const std::array<uint8_t, 32>& serverKey) {
  namespace s = signage_point_layout;
  if (length != s::kBytes) Fail("83ff4ca8");
  if (!Ed25519Verify(serverKey.data(), datagram + s::kSignature, datagram + 1, s::kSignature - 1)) {
    Fail("48acec6f");
  }
  SignagePoint point;
  point.challengeHash = Take<32>(datagram + s::kChallengeHash);
  point.signagePointHash = Take<32>(datagram + s::kSignagePointHash);
  point.difficulty = LoadLe<uint64_t>(datagram + s::kDifficulty);
  point.blockWinBound = LoadLe<uint64_t>(datagram + s::kBlockWinBound);
  point.time = LoadLe<int32_t>(datagram + s::kTime);
  point.shareFactor = datagram[s::kShareFactor];
  point.index = datagram[s::kIndex];
  point.timeLimitSeconds = datagram[s::kTimeLimit];
  return point;
}

std::optional<HandshakeReply> OpenHandshakeReply(const uint8_t* datagram, size_t length,
                                                 const PendingHello& hello,
                                                 const bls::G1Element& poolKey) {
  namespace r = reply_layout;
  if (length < r::kHeaderBytes) Fail("e1bc5d1f");
  if (LoadLe<int32_t>(datagram + r::kEcho) != hello.clientTime) return std::nullopt;

  HandshakeReply reply;
  reply.expiry = LoadLe<int32_t>(datagram + r::kExpiry);
  if (reply.expiry <= hello.clock ||
      !bls::AugSchemeMPL::Verify(poolKey, bls::Bytes(datagram + r::kExpiry, r::kSignature - 1),
                                 bls::Bytes(datagram + r::kSignature, 96))) {
    Fail("6f50e54c");
  }
  if (hello.key == nullptr) Fail("05282f36");
  uint8_t opened[HelloKey::kSealedBytes];
  const int openedLength = hello.key->Open(datagram + r::kSealedKey, opened);
  if (openedLength != 80) {
    OPENSSL_cleanse(opened, sizeof(opened));
    Fail("b452b1f9");
  }
  const bool certified = Ed25519Verify(datagram + r::kSessionPublicKey, opened + 16,
                                       hello.key->Modulus().data(), HelloKey::kModulusBytes);
  std::memcpy(reply.sessionKey.data(), opened, 16);
  OPENSSL_cleanse(opened, sizeof(opened));
  if (!certified) {
    OPENSSL_cleanse(reply.sessionKey.data(), 16);
    Fail("ab0d4287");
  }
  reply.lifetime = LoadLe<int32_t>(datagram + r::kLifetime);
  reply.sessionPublicKey = Take<32>(datagram + r::kSessionPublicKey);
  reply.serverToken = Take<16>(datagram + r::kServerToken);
  reply.cacheDelay = datagram[r::kCacheDelay];
  reply.copyMultiplier = datagram[r::kCopyMultiplier];
  reply.sessionId = LoadLe<int64_t>(datagram + r::kSessionId);
  reply.hasBody = length > r::kHeaderBytes;
  return reply;
}

ReplyBody OpenReplyBody(const uint8_t* datagram, size_t length,
                        const std::array<uint8_t, 16>& sessionKey, uint8_t updatePolicy,
                        PoolSession* window) {
  namespace r = reply_layout;
  if (length < r::kBody) Fail("d3385a7b");
  ReplyBody body;
  body.nonce = LoadLe<uint64_t>(datagram + r::kBodyNonce);
  const size_t bodyLength = std::min(length, kPacketBytes) - r::kBody;
  uint8_t plain[kPacketBytes];
  if (!AesGcmDecrypt(datagram + r::kBody, static_cast<uint32_t>(bodyLength), sessionKey.data(),
                     body.nonce, plain, datagram + r::kBodyTag)) {
    Fail("03300cfa");
  }
  if (window != nullptr) window->NoteReplyNonce(body.nonce);
  size_t textAt = 1;
  if (bodyLength > 0) {
    body.kind = static_cast<int8_t>(plain[0]);
    if (body.kind > 0) {
      if (bodyLength < 1 + r::kAnnouncementBytes) Fail("80fb618a");
      std::memcpy(body.announcement.data(), plain + 1, r::kAnnouncementBytes);
      textAt += r::kAnnouncementBytes;
    }
    if (textAt < bodyLength) {
      body.text = TextUpToZero(plain + textAt, std::min(bodyLength - textAt, r::kTextLimit - 1));
    }
  }
  if (body.kind > static_cast<int8_t>(updatePolicy)) Fail("96f9b4b7");
  return body;
}

UpdateDescriptor CheckUpdateAnnouncement(const UpdateAnnouncement& announcement,
                                         const std::array<uint8_t, 32>& updateKey) {
  constexpr size_t kDescriptorBytes = 22;
  if (!Ed25519Verify(updateKey.data(), announcement.data() + kDescriptorBytes, announcement.data(),
                     kDescriptorBytes)) {
    Fail("60004891");
  }
  UpdateDescriptor descriptor;
  descriptor.version = LoadLe<uint16_t>(announcement.data());
  if (descriptor.version <= (kVersionMajor << 8 | kVersionMinor)) Fail("18618d3c");
  descriptor.infoHash = Take<20>(announcement.data() + 2);
  descriptor.shareRatioTarget = announcement[86];
  descriptor.seedingMinutes = announcement[87];
  return descriptor;
}

std::string OpenServerMessage(PoolSession& session, uint8_t* datagram, size_t length) {
  namespace m = server_message_layout;
  if (length != m::kBytes) Fail("7cfdcc27");
  if (!session.AcceptServerMessage(datagram + m::kNonce)) Fail("73493af8");
  return TextUpToZero(datagram + m::kText, m::kTextBytes - 1);
}
