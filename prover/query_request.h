#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "prover/signage_point_request.h"

// Set once a proof for the --query challenge has been printed; never cleared.
extern std::atomic<bool> QueryAnswered;

// The request of query mode: every plot is searched with the one challenge, the first plot
// whose quality comes back is chosen, and its proofs are printed instead of sent anywhere.
class QueryRequest final : public SignagePointRequest {
 public:
  explicit QueryRequest(const std::array<uint8_t, 32>& challenge) : Challenge(challenge) {}

  bool PlotChallenge(const uint8_t plotId[32], uint8_t challengeOut[32]) override;
  int CheckQuality(const uint8_t plotId[32], const uint8_t challenge[32], uint64_t xPair) override;
  // Checks the plot's key record against its id, then prints the challenge, plot id, quality
  // and proof and marks the query answered.
  void OnProof(const uint8_t plotId[32], const uint64_t keyBlock[64], const uint8_t challenge[32],
               uint8_t compressionLevel, const uint32_t proof[64]) override;

 private:
  std::mutex Mutex;  // held by each operation for its whole run
  const std::array<uint8_t, 32> Challenge;
  bool FirstPlotRecorded = false;
  std::array<uint8_t, 32> FirstPlotDigest{};
};
