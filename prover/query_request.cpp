#include "prover/query_request.h"

#include <cstring>
#include <stdexcept>

#include "chia/sha256.h"

std::atomic<bool> QueryAnswered{false};

bool QueryRequest::PlotChallenge(const uint8_t*, uint8_t challengeOut[32]) {
  std::lock_guard lock(Mutex);
  if (QueryAnswered.load()) return false;
  std::memcpy(challengeOut, Challenge.data(), Challenge.size());
  return true;
}

int QueryRequest::CheckQuality(const uint8_t plotId[32], const uint8_t*, uint64_t) {
  std::lock_guard lock(Mutex);
  // Plots are told apart by the digest of their id.
  std::array<uint8_t, 32> digest;
  Sha256_32(digest.data(), plotId);
  if (!FirstPlotRecorded) {
    FirstPlotRecorded = true;
    FirstPlotDigest = digest;
    return 2;
  }
  return digest == FirstPlotDigest ? 2 : 0;
}

void QueryRequest::OnProof(const uint8_t*, const uint64_t*, const uint8_t*, uint8_t,
                           const uint32_t*) {
  std::lock_guard lock(Mutex);
  throw std::logic_error("Proof printing is not available in this build");
}
