#include "prover/query_request.h"

#include <gtest/gtest.h>

#include <array>
#include <iomanip>
#include <memory>
#include <sstream>
#include <tuple>

#include "chia/plot_keys.h"
#include "runtime/text_utils.h"
#include "tests/chia/pos_verifier.h"
#include "tests/support/thrown_text.h"
#include "tests/support/time_prefix.h"

namespace {

std::array<uint8_t, 32> Filled(uint8_t value) {
  std::array<uint8_t, 32> bytes;
  bytes.fill(value);
  return bytes;
}

}  // namespace

TEST(QueryRequest, FirstQualityChoosesThePlotAndAnAnswerEndsTheSearch) {
  QueryAnswered = false;
  const std::array<uint8_t, 32> challenge = Filled(0x5A);
  auto request = std::make_shared<QueryRequest>(challenge);
  std::shared_ptr<SignagePointRequest> asRequest = request;

  const std::array<uint8_t, 32> plotA = Filled(1), plotB = Filled(2);
  std::array<uint8_t, 32> out = Filled(0);
  EXPECT_TRUE(asRequest->PlotChallenge(plotA.data(), out.data()));
  EXPECT_EQ(out, challenge);

  // The plot whose quality comes back first is chosen; every other plot is dropped.
  EXPECT_EQ(asRequest->CheckQuality(plotB.data(), challenge.data(), 7), 2);
  EXPECT_EQ(asRequest->CheckQuality(plotA.data(), challenge.data(), 7), 0);
  EXPECT_EQ(asRequest->CheckQuality(plotB.data(), challenge.data(), 9), 2);
  std::array<uint8_t, 32> nearB = plotB;
  nearB[31] ^= 1;
  EXPECT_EQ(asRequest->CheckQuality(nearB.data(), challenge.data(), 7), 0);

  QueryAnswered = true;
  out = Filled(0);
  EXPECT_FALSE(asRequest->PlotChallenge(plotA.data(), out.data()));
  EXPECT_EQ(out, Filled(0));
  QueryAnswered = false;
}

// Keys are checked against the plot id before anything is printed; the quality and proof lines
// agree with the independent verifier.
TEST(QueryRequest, OnProofPrintsTheFourLinesOnlyForConsistentKeys) {
  const PosRecord r = LoadPosRecords().at(3);
  uint32_t stored[64];  // as the full proof job delivers it: big-endian words
  std::string proofHex;
  for (int i = 0; i < 64; ++i) {
    stored[i] = __builtin_bswap32(r.proof[i]);
    proofHex +=
        (std::ostringstream() << std::hex << std::setw(8) << std::setfill('0') << r.proof[i]).str();
  }
  const std::tuple<uint8_t, uint8_t, std::string> rows[] = {
      {0, 0, ""},
      {2, 0, ""},
      {1, 0, "cfedb539"},
      {0, 1, "Plot keys are inconsistent with plot id"}};
  for (const auto& [kind, otherId, thrown] : rows) {
    uint8_t id[32], seed[32] = {7};
    uint64_t block[64] = {};
    auto* bytes = reinterpret_cast<uint8_t*>(block);
    CreatePlotKeys(id, seed, bytes + 1, bytes + 33, bytes + 65, nullptr);
    bytes[0] = kind;
    id[5] ^= otherId;
    QueryAnswered = false;
    testing::internal::CaptureStdout();
    EXPECT_EQ(
        ThrownText([&] { QueryRequest(Filled(0)).OnProof(id, block, r.challenge, 1, stored); }),
        thrown.empty() ? "no exception" : thrown);
    EXPECT_EQ(QueryAnswered, thrown.empty());
    std::vector<std::string> expected = {
        "<time> challenge: " + ToHexLower(r.challenge, 32), "<time> plotid: " + ToHexLower(id, 32),
        "<time> quality: " + ToHexLower(pos_oracle::Quality(r.challenge, r.proof).data(), 32),
        "<time> PoS: " + proofHex};
    EXPECT_EQ(MarkTimes(testing::internal::GetCapturedStdout()),
              thrown.empty() ? expected : std::vector<std::string>{});
  }
  QueryAnswered = false;
}
