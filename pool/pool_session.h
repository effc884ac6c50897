#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "pool/hello_key.h"

// Whole seconds of the steady clock, the time base of every session deadline.
int64_t SteadySeconds();

// What seals a client datagram: a copy taken under the session's lock, so a share built on the
// mining thread never mixes the id of one session with the key of another.
struct SessionCredentials {
  int64_t sessionId = -1;  // negative: no session yet
  std::array<uint8_t, 16> key{};
};

// The state of the connection to the pool server. The pool client thread writes it; the mining
// thread seals shares with its credentials and nonces, and the re-senders write lastSend.
class PoolSession {
 public:
  static constexpr size_t kReplayWindow = 16;
  // Client nonces stay below this bit; the server takes its nonces (server messages, reply
  // bodies) from the values that have it set, so no nonce ever serves twice under one key.
  static constexpr uint64_t kServerNonceBit = uint64_t{1} << 63;

  SessionCredentials Credentials() const;
  // The key of an accepted handshake reply. A new key starts a session: it takes the reply's
  // session id and empties the replay window. The same key again leaves both as they are.
  void TakeSessionKey(const std::array<uint8_t, 16>& key, int64_t sessionId);

  // The nonce of the next hello, keepalive, acknowledgement or share. One counter serves all
  // four: with one counter per type each type's first datagram would use nonce 0 under the same
  // key, and two GCM messages under one key and nonce give away the authentication key.
  uint64_t NextNonce() { return nonceCounter_.fetch_add(1, std::memory_order_relaxed); }

  // Judges a server message from its byte 1 on (nonce, tag, 128 sealed bytes) and opens it in
  // place: refused when the session has passed its deadline, when the nonce is one of the last
  // 16 accepted, or when it does not open.
  bool AcceptServerMessage(uint8_t* fromNonce);
  // The body nonce of an accepted handshake reply joins the window (no duplicate test, no trim).
  void NoteReplyNonce(uint64_t nonce);
  size_t ReplayWindowSize() const;

  std::atomic<int64_t> sessionDeadline{0};  // steady seconds
  std::atomic<int64_t> refreshTime{0};
  std::atomic<int64_t> lastHelloTime{0};
  std::atomic<int64_t> lastSend{0};
  std::atomic<int64_t> lastReceive{0};
  // Client time of the hello awaiting its reply; 0 once a reply was accepted. The hello's
  // re-sender watches it to stop.
  std::atomic<int64_t> clientTime{0};
  std::atomic<int64_t> helloClockOffset{0};
  std::atomic<int32_t> lastSignagePointIndex{-1};
  // The last handshake reply's multiplier of every send count.
  std::atomic<uint8_t> CopyMultiplier{1};
  // Key of the last hello; the pool client thread alone touches it.
  std::unique_ptr<HelloKey> helloKey;

 private:
  mutable std::mutex mutex_;  // guards credentials_ and replayWindow_
  SessionCredentials credentials_;
  std::deque<uint64_t> replayWindow_;
  std::atomic<uint64_t> nonceCounter_{0};
};

PoolSession& PoolSessionInstance();
