#include "pool/pool_share_request.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "chia/iterations_quality.h"
#include "chia/plot_keys.h"
#include "chia/sha256.h"
#include "pool/client_packets.h"
#include "pool/packet_sender.h"
#include "pool/settings.h"
#include "prover/proof_order.h"
#include "runtime/console_logger.h"
#include "runtime/option_values.h"

std::string ShortHexId(const uint8_t id[32]) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int i : {0, 1, -1, 30, 31}) {
    if (i < 0) {
      text += "...";
      continue;
    }
    text += kDigits[id[i] >> 4];
    text += kDigits[id[i] & 15];
  }
  return text;
}

bool PoolShareRequest::PlotChallenge(const uint8_t plotId[32], uint8_t challengeOut[32]) {
  uint8_t input[96];
  std::memcpy(input, plotId, 32);
  std::memcpy(input + 32, point_.challengeHash.data(), 32);
  std::memcpy(input + 64, point_.signagePointHash.data(), 32);
  uint8_t h[32];
  SHA256(input, sizeof input, h);
  const uint32_t head = uint32_t{h[0]} << 24 | uint32_t{h[1]} << 16 | uint32_t{h[2]} << 8 | h[3];
  if (head > 0x7fffff) return false;
  SHA256(h, sizeof h, challengeOut);
  return true;
}

uint64_t PoolShareRequest::Iterations(const uint8_t challenge[32], uint64_t xPair) const {
  uint8_t pairBytes[8];
  std::memcpy(pairBytes, &xPair, 8);
  uint8_t quality[32];
  Sha256_32_8(quality, challenge, pairBytes);
  return CalculateIterationsQuality(quality, point_.difficulty, point_.signagePointHash.data());
}

int PoolShareRequest::CheckQuality(const uint8_t[32], const uint8_t challenge[32], uint64_t xPair) {
  const uint64_t iterations = Iterations(challenge, xPair);
  if (iterations < point_.blockWinBound) return 2;
  // Both products exceed 64 bits for large difficulties.
  using U128 = unsigned __int128;
  return U128{iterations} * point_.shareFactor <= U128{point_.difficulty} * kIterationsPerDifficulty
             ? 1
             : 0;
}

void PoolShareRequest::OnProof(const uint8_t plotId[32], const uint64_t keyBlock[64],
                               const uint8_t challenge[32], uint8_t compressionLevel,
                               const uint32_t proof[64]) {
  const SessionCredentials credentials = session_.Credentials();
  if (credentials.sessionId < 0) throw std::runtime_error("No pool session yet, share not sent");

  const uint8_t* keys = reinterpret_cast<const uint8_t*>(keyBlock);
  if (keys[0] != 0 && keys[0] != 2) throw std::runtime_error("cfedb539");
  if (!CheckPlotPublicKey(keys + 33, keys + 65) ||
      !ComputePlotPublicKey(plotId, keys + 1, keys + 65, nullptr)) {
    throw std::runtime_error("Plot keys are inconsistent with plot id");
  }
  ShareFields fields;
  fields.signagePointHash = point_.signagePointHash;
  std::memcpy(fields.plotId.data(), plotId, 32);
  std::memcpy(fields.proof.data(), proof, 256);
  std::memcpy(fields.keys.data(), keys, fields.keys.size());
  fields.rewardPuzzleHash = RewardPuzzleHash;
  std::memcpy(fields.workerName.data(), WorkerName.data(), fields.workerName.size());
  fields.workerId = WorkerId;
  fields.compressionLevel = compressionLevel;
  LogLine("Share generated using plot " + ShortHexId(plotId));
  const Packet share = BuildShare(fields, credentials, session_.NextNonce());
  OPENSSL_cleanse(fields.keys.data(), fields.keys.size());

  const bool couldWin =
      Iterations(challenge, ProofQualityXPair(proof, challenge)) < point_.blockWinBound;
  SendPacket(share, couldWin ? 32 : 4, couldWin ? 10000 : 4000, nullptr);
}
