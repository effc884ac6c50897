#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "pool/pool_session.h"
#include "pool/server_packets.h"
#include "prover/signage_point_request.h"

// "abcd...wxyz": the first and the last two bytes of an id in lower-case hexadecimal.
std::string ShortHexId(const uint8_t id[32]);

// One signage point of the pool in the proof search: one plot in 512 takes part, qualities in
// the share factor's part of their range come back as proofs, and each proof goes to the pool as
// a share sealed under the session key.
class PoolShareRequest final : public SignagePointRequest {
 public:
  // Largest required iterations per unit of difficulty (k = 32): floor(2^36 / 65).
  static constexpr uint64_t kIterationsPerDifficulty = 0x3f03f03f;

  // The session whose key seals the shares: the process-wide one, or a test's own.
  explicit PoolShareRequest(const SignagePoint& point, PoolSession& session = PoolSessionInstance())
      : point_(point), session_(session) {}

  bool PlotChallenge(const uint8_t plotId[32], uint8_t challengeOut[32]) override;
  // 2 below the block-win bound, 1 for a share, else 0.
  int CheckQuality(const uint8_t plotId[32], const uint8_t challenge[32], uint64_t xPair) override;
  // Sends the share: 32 copies over 10 s when the proof could win the block, else 4 over 4 s.
  // Refused ("No pool session yet, share not sent") until a session key has been accepted, so a
  // plot's secret keys never go out under a key the server did not give.
  void OnProof(const uint8_t plotId[32], const uint64_t keyBlock[64], const uint8_t challenge[32],
               uint8_t compressionLevel, const uint32_t proof[64]) override;

  const SignagePoint& Point() const { return point_; }

 private:
  uint64_t Iterations(const uint8_t challenge[32], uint64_t xPair) const;

  const SignagePoint point_;
  PoolSession& session_;
};
