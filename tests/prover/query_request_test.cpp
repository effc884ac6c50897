#include "prover/query_request.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

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
