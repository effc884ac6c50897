#pragma once

#include <cstdint>

// One signage point carried into the proof search. The request decides which plots are searched
// and with which challenge, judges each quality found and receives each finished proof. Always
// held through shared pointers to its concrete class, which destroy it as that class.
class SignagePointRequest {
 public:
  // True, with the challenge to search with, when the plot takes part.
  virtual bool PlotChallenge(const uint8_t plotId[32], uint8_t challengeOut[32]) = 0;
  // 0 drops the quality, 1 fetches its full proof, 2 fetches it first and extends the deadline.
  virtual int CheckQuality(const uint8_t plotId[32], const uint8_t challenge[32],
                           uint64_t xPair) = 0;
  // keyBlock: the plot's 512-byte key block; proof: the 64 x values of the full proof.
  virtual void OnProof(const uint8_t plotId[32], const uint64_t keyBlock[64],
                       const uint8_t challenge[32], uint8_t compressionLevel,
                       const uint32_t proof[64]) = 0;

 protected:
  ~SignagePointRequest() = default;
};
