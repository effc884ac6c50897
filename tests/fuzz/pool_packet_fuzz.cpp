// Feeds any received datagram (up to 548 bytes) to the client's receive checks, dispatched on its
// type byte as the pool client does. Each must end in a coded refusal or an acceptance: any other
// exception type, a crash or a sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "pool/pool_session.h"
#include "pool/server_packets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::unique_ptr<HelloKey> kHelloKey = HelloKey::Generate();
  static const bls::G1Element kPoolKey = bls::G1Element::Generator();
  static PoolSession session;
  if (size == 0 || size > kPacketBytes) return 0;
  session.sessionDeadline = SteadySeconds() + 60;
  // An exact-size copy so that any read past the datagram is seen.
  std::vector<uint8_t> datagram(data, data + size);
  const std::array<uint8_t, 32> key{};
  try {
    switch (datagram[0]) {
      case 1: {
        const int32_t echo =
            size >= 141 ? static_cast<int32_t>(datagram[137] | datagram[138] << 8 |
                                               datagram[139] << 16 | uint32_t{datagram[140]} << 24)
                        : 0;
        const auto reply =
            OpenHandshakeReply(datagram.data(), size, {echo, 0, kHelloKey.get()}, kPoolKey);
        if (reply && reply->hasBody) OpenReplyBody(datagram.data(), size, reply->sessionKey, 4);
        break;
      }
      case 2:
        CheckSignagePoint(datagram.data(), size, key);
        break;
      case 5:
        OpenServerMessage(session, datagram.data(), size);
        break;
      default: {
        // The body check on its own, as after a certified head, under an all-zero key.
        std::array<uint8_t, 16> sessionKey{};
        const ReplyBody body = OpenReplyBody(datagram.data(), size, sessionKey, datagram[0] & 7);
        if (body.text.size() > 229) __builtin_trap();
        if (body.kind > 0) CheckUpdateAnnouncement(body.announcement, key);
      }
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
