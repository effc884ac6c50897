#pragma once
// Sending datagrams to the pool server: the first copy at once on the caller's thread, the others
// spread over a time window by a detached re-sender thread. The session's copy multiplier scales
// every count; send failures are logged as "ERROR: error sending packet: %s" and never reach
// the caller.

#include <cstdint>
#include <functional>

#include "pool/packet_layout.h"

// Says true once the remaining copies are no longer wanted.
using CancelPredicate = std::function<bool()>;

// Callers: keepalive (1, 2000 ms), acknowledgement (1, 1000 ms), hello (4, 8000 ms,
// HelloResendCancel), share (32, 10000 ms or 4, 4000 ms). cancel may be null.
void SendPacket(const Packet& packet, int32_t count, int32_t windowMs,
                const CancelPredicate* cancel);

// Stops the copies of the hello sent at clientTime once the session awaits another hello or none.
CancelPredicate HelloResendCancel(int64_t clientTime);

// Re-senders alive now.
int64_t LiveResenders();

// The exit-time wait: returns once no re-sender is alive.
void WaitForResenders();

// Builds the pool's process-wide objects in the order their exit-time handlers need: the session
// and socket outlive the wait for the last re-sender that uses them.
void InitPoolProcessObjects();
