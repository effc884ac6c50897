#include "chia/fx_batch.h"

#include <blake3.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chia/blake3_lanes.h"
#include "chia/fx.h"

namespace {

constexpr SimdLevel kLevels[] = {SimdLevel::kPortable, SimdLevel::kAvx2, SimdLevel::kAvx512};

// Single-input function, batched function; both write out metadata where the function has some.
struct FxPair {
  const char* name;
  uint64_t (*single)(const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* out);
  void (*batch)(const uint64_t* y, const uint8_t* m, size_t stride, uint64_t n, uint64_t* f,
                uint8_t* out, SimdLevel level);
};

// Metadata of input i at m + i * stride (left) and m + i * stride + 16 (right).
const FxPair kFunctions[] = {
    {"f2",
     [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t*) {
       uint32_t a, b;
       std::memcpy(&a, l, 4);
       std::memcpy(&b, r, 4);
       return ComputeF2(y, a, b);
     },
     [](const uint64_t* y, const uint8_t* m, size_t stride, uint64_t n, uint64_t* f, uint8_t*,
        SimdLevel level) {
       std::vector<uint32_t> a(n), b(n);
       for (uint64_t i = 0; i < n; ++i) {
         std::memcpy(&a[i], m + i * stride, 4);
         std::memcpy(&b[i], m + i * stride + 16, 4);
       }
       ComputeF2Batch(y, a.data(), b.data(), n, f, level);
     }},
    {"f3/f7", [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t*) { return Fx3Or7(l, r, y); },
     [](const uint64_t* y, const uint8_t* m, size_t stride, uint64_t n, uint64_t* f, uint8_t*,
        SimdLevel level) { Fx3Or7Batch(y, m, m + 16, stride, n, f, level); }},
    {"f4", [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* o) { return Fx4(l, r, y, o); },
     [](const uint64_t* y, const uint8_t* m, size_t stride, uint64_t n, uint64_t* f, uint8_t* o,
        SimdLevel level) { Fx4Batch(y, m, m + 16, stride, n, f, o, 17, level); }},
    {"f5", [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* o) { return Fx5(l, r, y, o); },
     [](const uint64_t* y, const uint8_t* m, size_t stride, uint64_t n, uint64_t* f, uint8_t* o,
        SimdLevel level) { Fx5Batch(y, m, m + 16, stride, n, f, o, 17, level); }},
    {"f6", [](const uint8_t* l, const uint8_t* r, uint64_t y, uint8_t* o) { return Fx6(l, r, y, o); },
     [](const uint64_t* y, const uint8_t* m, size_t stride, uint64_t n, uint64_t* f, uint8_t* o,
        SimdLevel level) { Fx6Batch(y, m, m + 16, stride, n, f, o, 17, level); }},
};

}  // namespace

TEST(FxBatch, EveryPathMatchesTheSingleFunctions) {
  std::mt19937_64 rng(7);
  constexpr size_t kStride = 35;  // odd, so every record is unaligned
  for (SimdLevel level : kLevels) {
    if (!SimdLevelSupported(level)) continue;
    for (const FxPair& fn : kFunctions) {
      for (uint64_t n : {0, 1, 15, 16, 17, 300}) {
        std::vector<uint8_t> meta(n * kStride + 1);
        for (auto& b : meta) b = static_cast<uint8_t>(rng());
        std::vector<uint64_t> y(n), f(n, ~uint64_t{0});
        for (uint64_t i = 0; i < n; ++i) y[i] = rng() >> 26;
        // Edge inputs: every bit set, every bit clear.
        if (n > 2) {
          std::memset(meta.data() + 1, 0xFF, 32);
          std::memset(meta.data() + 1 + kStride, 0, 32);
          y[0] = (uint64_t{1} << 38) - 1;
          y[1] = 0;
        }
        std::vector<uint8_t> out(n * 17 + 1, 0xCC);
        fn.batch(y.data(), meta.data() + 1, kStride, n, f.data(), out.data(), level);
        for (uint64_t i = 0; i < n; ++i) {
          uint8_t expected[17];
          std::memset(expected, 0xCC, sizeof(expected));
          const uint8_t* m = meta.data() + 1 + i * kStride;
          ASSERT_EQ(f[i], fn.single(m, m + 16, y[i], expected))
              << fn.name << " level " << static_cast<int>(level) << " n " << n << " i " << i;
          ASSERT_EQ(std::memcmp(out.data() + i * 17, expected, 17), 0) << fn.name << " i " << i;
        }
      }
    }
  }
}

TEST(FxBatch, LanesHashEveryOneBlockLength) {
  std::mt19937_64 rng(11);
  for (SimdLevel level : kLevels) {
    if (!SimdLevelSupported(level)) continue;
    for (uint32_t length = 0; length <= 64; ++length) {
      Blake3LaneBlocks blocks{};
      for (unsigned lane = 0; lane < kBlake3Lanes; ++lane) {
        for (uint32_t b = 0; b < length; ++b) blocks.bytes[lane][b] = static_cast<uint8_t>(rng());
      }
      Blake3LaneDigests digests;
      Blake3HashLanes(blocks, length, digests, level);
      for (unsigned lane = 0; lane < kBlake3Lanes; ++lane) {
        uint8_t expected[32];
        blake3_hasher h;
        blake3_hasher_init(&h);
        blake3_hasher_update(&h, blocks.bytes[lane], length);
        blake3_hasher_finalize(&h, expected, 32);
        ASSERT_EQ(std::memcmp(digests.bytes[lane], expected, 32), 0)
            << "level " << static_cast<int>(level) << " length " << length << " lane " << lane;
      }
    }
  }
}

TEST(FxBatch, ChosenLevelIsSupportedAndHonoursTheCap) {
  // The suite also runs with VARNOK_SIMD set (see tests/CMakeLists.txt).
  SimdLevel chosen = BestSimdLevel();
  EXPECT_TRUE(SimdLevelSupported(chosen));
  const char* cap = std::getenv("VARNOK_SIMD");
  std::string capText = cap == nullptr ? "" : cap;
  if (capText == "portable") {
    EXPECT_EQ(chosen, SimdLevel::kPortable);
  } else if (capText == "avx2") {
    EXPECT_NE(chosen, SimdLevel::kAvx512);
  } else if (capText.empty() && SimdLevelSupported(SimdLevel::kAvx512)) {
    EXPECT_EQ(chosen, SimdLevel::kAvx512);
  }
}
