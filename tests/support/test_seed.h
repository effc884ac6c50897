#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

// The seed of a randomised test: VARNOK_TEST_SEED when set (to replay a failure), else a fresh
// one. Either way it is printed, so a failing run can be repeated.
inline uint64_t TestSeed() {
  const char* given = std::getenv("VARNOK_TEST_SEED");
  const uint64_t seed = given != nullptr && *given != '\0'
                            ? std::strtoull(given, nullptr, 0)
                            : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  ::testing::Test::RecordProperty("seed", std::to_string(seed));
  std::printf("random seed %llu (set VARNOK_TEST_SEED to repeat)\n",
              static_cast<unsigned long long>(seed));
  return seed;
}
