#include "pool/pool_session.h"

#include <algorithm>
#include <chrono>

#include "chia/aes_gcm.h"
#include "pool/packet_layout.h"

int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

SessionCredentials PoolSession::Credentials() const {
  std::lock_guard lock(mutex_);
  return credentials_;
}

void PoolSession::TakeSessionKey(const std::array<uint8_t, 16>& key, int64_t sessionId) {
  std::lock_guard lock(mutex_);
  if (key == credentials_.key) return;
  credentials_.key = key;
  credentials_.sessionId = sessionId;
  replayWindow_.clear();
}

bool PoolSession::AcceptServerMessage(uint8_t* fromNonce) {
  namespace m = server_message_layout;
  if (sessionDeadline.load() < SteadySeconds()) return false;
  const uint64_t nonce = LoadLe<uint64_t>(fromNonce);
  std::lock_guard lock(mutex_);
  if (std::find(replayWindow_.begin(), replayWindow_.end(), nonce) != replayWindow_.end()) {
    return false;
  }
  uint8_t* text = fromNonce + (m::kText - m::kNonce);
  const bool opened = AesGcmDecrypt(text, m::kTextBytes, credentials_.key.data(), nonce, text,
                                    fromNonce + (m::kTag - m::kNonce));
  if (opened) {
    replayWindow_.push_back(nonce);
    while (replayWindow_.size() > kReplayWindow) replayWindow_.pop_front();
  }
  return opened;
}

void PoolSession::NoteReplyNonce(uint64_t nonce) {
  std::lock_guard lock(mutex_);
  replayWindow_.push_back(nonce);
}

size_t PoolSession::ReplayWindowSize() const {
  std::lock_guard lock(mutex_);
  return replayWindow_.size();
}

PoolSession& PoolSessionInstance() {
  static PoolSession session;
  return session;
}
