#include "chia/iterations_quality.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace {

// floor(h * difficulty / (2^189 * 65 * 2^31)) in GMP, with h the hash read
// big-endian; UINT64_MAX when it does not fit, 1 instead of 0.
uint64_t Oracle(const uint8_t quality[32], uint64_t difficulty, const uint8_t sp[32]) {
  uint8_t input[64];
  std::memcpy(input, quality, 32);
  std::memcpy(input + 32, sp, 32);
  uint8_t h[32];
  SHA256(input, 64, h);

  mpz_t n, d, divisor;
  mpz_inits(n, d, divisor, nullptr);
  mpz_import(n, 32, 1, 1, 1, 0, h);
  mpz_import(d, 1, 1, sizeof difficulty, 0, 0, &difficulty);
  mpz_mul(n, n, d);
  mpz_set_ui(divisor, 65);
  mpz_mul_2exp(divisor, divisor, 189 + 31);
  mpz_fdiv_q(n, n, divisor);
  uint64_t result;
  if (mpz_sizeinbase(n, 2) > 64) {
    result = std::numeric_limits<uint64_t>::max();
  } else {
    uint64_t word = 0;
    mpz_export(&word, nullptr, -1, sizeof word, 0, 0, n);
    result = word == 0 ? 1 : word;
  }
  mpz_clears(n, d, divisor, nullptr);
  return result;
}

}  // namespace

TEST(IterationsQuality, MatchesBigIntegerOracle) {
  std::mt19937_64 rng(99);
  uint8_t quality[32], sp[32];
  int aboveOne = 0;
  for (int i = 0; i < 2000; ++i) {
    for (auto& b : quality) b = static_cast<uint8_t>(rng());
    for (auto& b : sp) b = static_cast<uint8_t>(rng());
    // Difficulties from tiny to full width, so every size of quotient shows up.
    uint64_t difficulty = rng() >> (rng() % 64);
    uint64_t got = CalculateIterationsQuality(quality, difficulty, sp);
    ASSERT_EQ(got, Oracle(quality, difficulty, sp)) << "difficulty " << difficulty;
    if (got > 1 && got != std::numeric_limits<uint64_t>::max()) ++aboveOne;
  }
  EXPECT_GT(aboveOne, 1000);
}

TEST(IterationsQuality, ZeroOneAndSaturation) {
  uint8_t quality[32] = {1, 2, 3}, sp[32] = {4, 5, 6};
  // Difficulty 0: a quotient of 0 becomes 1.
  EXPECT_EQ(CalculateIterationsQuality(quality, 0, sp), 1u);

  // Full difficulty: for almost any hash the quotient exceeds 64 bits and must
  // saturate instead of reading as 0 (which would become the best figure, 1).
  std::mt19937_64 rng(5);
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  int saturated = 0;
  for (int i = 0; i < 200; ++i) {
    for (auto& b : quality) b = static_cast<uint8_t>(rng());
    uint64_t got = CalculateIterationsQuality(quality, max, sp);
    EXPECT_EQ(got, Oracle(quality, max, sp));
    if (got == max) ++saturated;
  }
  EXPECT_GT(saturated, 150);

  // The figure grows with the difficulty and the hash fixes it exactly.
  uint64_t a = CalculateIterationsQuality(quality, 1ull << 40, sp);
  uint64_t b = CalculateIterationsQuality(quality, 1ull << 41, sp);
  EXPECT_TRUE(b == 2 * a || b == 2 * a + 1) << a << " " << b;
}
