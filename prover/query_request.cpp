#include "prover/query_request.h"

#include <cstring>
#include <stdexcept>

#include "chia/plot_keys.h"
#include "chia/sha256.h"
#include "prover/proof_order.h"
#include "runtime/console_logger.h"
#include "runtime/text_utils.h"

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

void QueryRequest::OnProof(const uint8_t plotId[32], const uint64_t keyBlock[64],
                           const uint8_t challenge[32], uint8_t, const uint32_t proof[64]) {
  std::lock_guard lock(Mutex);
  const uint64_t xPair = ProofQualityXPair(proof, challenge);
  uint8_t quality[32];
  Sha256_32_8(quality, challenge, reinterpret_cast<const uint8_t*>(&xPair));

  const auto* record = reinterpret_cast<const uint8_t*>(keyBlock);
  if ((record[kKeyRecordKind] & ~uint8_t{2}) != 0) throw std::runtime_error("cfedb539");
  if (!CheckPlotPublicKey(record + kKeyRecordSecretB, record + kKeyRecordPublicKeyB) ||
      !ComputePlotPublicKey(plotId, record + kKeyRecordSecretA, record + kKeyRecordPublicKeyB,
                            nullptr)) {
    throw std::runtime_error("Plot keys are inconsistent with plot id");
  }
  LogLine("challenge: " + ToHexLower(challenge, 32));
  LogLine("plotid: " + ToHexLower(plotId, 32));
  LogLine("quality: " + ToHexLower(quality, 32));
  LogLine("PoS: " + ToHexLower(reinterpret_cast<const uint8_t*>(proof), 256));
  QueryAnswered = true;
}
