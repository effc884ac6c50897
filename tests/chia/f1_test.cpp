#include "chia/f1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "chia/bc_group.h"
#include "chia/chacha8.h"
#include "tests/runtime/bucket_writer_rig.h"

namespace {

std::array<uint8_t, 32> Iota() {
  std::array<uint8_t, 32> a;
  for (int i = 0; i < 32; ++i) a[i] = static_cast<uint8_t>(i);
  return a;
}

std::array<uint8_t, 32> TestF1Key() {
  auto id = Iota();
  std::array<uint8_t, 32> key;
  MakeF1Key(id.data(), key.data());
  return key;
}

// The single-x function, itself held to the published known answers below, as the reference
// for the bucket kernel.
uint64_t ReferenceF1(const uint8_t f1Key[32], uint32_t x) {
  uint32_t state[16];
  MakeF1State(f1Key, state);
  return ComputeF1(state, x);
}

TEST(F1, KnownAnswers) {
  auto key = TestF1Key();
  EXPECT_EQ(key[0], 1);
  EXPECT_EQ(key[1], 0);
  EXPECT_EQ(key[31], 30);
  uint32_t state[16];
  MakeF1State(key.data(), state);
  struct Row {
    uint32_t x;
    uint64_t y;
    uint32_t bucket, local, r;
  } rows[] = {
      {0, 254014609664, 118, 40361, 5807},
      {1, 147847582208, 68, 120280, 4904},
      {15, 56303608256, 26, 31012, 5852},
      {16, 88352093760, 41, 20162, 14686},
      {123456789, 74615798017, 34, 105929, 208},
      {2147483648, 91310660704, 42, 73830, 298},
      {4294967295, 225404750783, 104, 136642, 8045},
  };
  for (const auto& row : rows) {
    uint64_t y = ComputeF1(state, row.x);
    EXPECT_EQ(y, row.y) << row.x;
    BcKey k = SplitY(y);
    EXPECT_EQ(k.bucket, row.bucket);
    EXPECT_EQ(k.key >> 14, row.local);
    EXPECT_EQ(k.key & 0x3FFF, row.r);
  }
  // The last x ends in six one bits.
  EXPECT_EQ(ComputeF1(state, 0xFFFFFFFFu) & 63, 63u);
  // The many-block keystream path agrees with the single block.
  std::mt19937 rng(8);
  for (int i = 0; i < 300; ++i) {
    uint32_t x = rng();
    alignas(64) uint32_t blocks[32][16];
    ChaCha8Blocks(state, x >> 4, 32, blocks[0]);
    for (uint32_t k = 0; k < 32; ++k) {
      for (uint32_t j = 0; j < 16; ++j) {
        uint32_t xi = ((x >> 4) + k) << 4 | j;
        ASSERT_EQ(F1FromWord(blocks[k][j], xi), ComputeF1(state, xi)) << xi;
      }
    }
  }
}

TEST(F1, SplitOfKeystreamWordsMatchesSplitYOnEveryPath) {
  // The vector paths divide in floating point, where exact multiples of the divisors are the
  // risk: every multiple of 15,113 below 2^38 (which includes every bucket boundary), the y
  // before it, and random y. Words are grouped by the six bits x contributes.
  constexpr uint64_t kBc = 15113, kYLimit = uint64_t{1} << 38;
  std::vector<std::vector<uint32_t>> words(64);
  auto add = [&](uint64_t y) { words[y & 63].push_back(__builtin_bswap32(uint32_t(y >> 6))); };
  for (uint64_t y = 0; y < kYLimit; y += kBc) {
    add(y);
    if (y > 0) add(y - 1);
  }
  add(kYLimit - 1);
  std::mt19937_64 rng(12);
  for (int i = 0; i < 100000; ++i) add(rng() >> 26);
  for (SimdLevel level : {SimdLevel::kPortable, SimdLevel::kAvx2, SimdLevel::kAvx512}) {
    if (!SimdLevelSupported(level)) continue;
    for (uint32_t high = 0; high < 64; ++high) {
      const std::vector<uint32_t>& w = words[high];
      std::vector<uint32_t> keys(w.size()), buckets(w.size());
      SplitF1Words(w.data(), w.size(), high, keys.data(), buckets.data(), level);
      for (size_t i = 0; i < w.size(); ++i) {
        BcKey k = SplitY(uint64_t{__builtin_bswap32(w[i])} << 6 | high);
        ASSERT_EQ(keys[i], k.key) << static_cast<int>(level) << " " << high << " " << i;
        ASSERT_EQ(buckets[i], k.bucket) << static_cast<int>(level) << " " << high << " " << i;
      }
    }
  }
}

TEST(BcGroups, ReciprocalDivisionsAreExactOnEveryEdge) {
  constexpr uint64_t kBc = 15113, kGroupsPerBucket = 142096, kYLimit = uint64_t{1} << 38;
  constexpr uint64_t kLastGroup = 18188176;
  // The reciprocal overestimates y / 15,113 slightly, so it can only fail just below a multiple
  // of 15,113: check both sides of every group boundary of the 38-bit range.
  for (uint64_t g = 1; g <= kLastGroup; ++g) {
    uint64_t y = g * kBc;
    ASSERT_EQ(BcGroupOf(y), g);
    ASSERT_EQ(BcGroupOf(y - 1), g - 1);
  }
  EXPECT_EQ(BcGroupOf(kYLimit - 1), kLastGroup);
  for (uint64_t y = kYLimit - (1u << 20); y < kYLimit; ++y) ASSERT_EQ(BcGroupOf(y), y / kBc);
  for (uint64_t y = 0; y < (1u << 20); ++y) ASSERT_EQ(BcGroupOf(y), y / kBc);
  for (uint64_t g = 0; g <= kLastGroup; ++g) ASSERT_EQ(BucketOfGroup(g), g / kGroupsPerBucket);

  std::mt19937_64 rng(9);
  for (int i = 0; i < 100000; ++i) {
    uint64_t y = rng() >> 26;
    BcKey k = SplitY(y);
    ASSERT_EQ(k.bucket, y / kBc / kGroupsPerBucket) << y;
    ASSERT_EQ(k.key, (y / kBc % kGroupsPerBucket) << 14 | y % kBc) << y;
    ASSERT_EQ(JoinY(k.key, k.bucket), y);
  }
}

using Sink = RecordingSink<F1Entry>;
using Writer = OwnedBucketWriter<128>;

// Checks the entries handed on for the x range [xBegin, xEnd): each exactly once, in its
// bucket, with the oracle's y, in increasing x order within each bucket's stream.
void CheckEntries(const std::vector<Sink::Batch>& batches, const uint8_t* f1Key, uint64_t xBegin,
                  uint64_t xEnd) {
  std::vector<uint8_t> seen(xEnd - xBegin, 0);
  std::map<uint64_t, uint64_t> lastX;
  for (const auto& b : batches) {
    for (const auto& e : b.entries) {
      uint32_t x = __builtin_bswap32(e.xBigEndian);
      ASSERT_GE(x, xBegin);
      ASSERT_LT(x, xEnd);
      ASSERT_EQ(seen[x - xBegin]++, 0) << x;
      // The key word and bucket, from y by plain division.
      uint64_t y = ReferenceF1(f1Key, x);
      ASSERT_EQ(b.bucket, y / 15113 / 142096) << x;
      ASSERT_EQ(e.key, (y / 15113 % 142096) << 14 | y % 15113) << x;
      auto it = lastX.find(b.bucket);
      if (it != lastX.end()) {
        ASSERT_GT(x, it->second);
      }
      lastX[b.bucket] = x;
    }
  }
  for (uint8_t s : seen) ASSERT_EQ(s, 1);
}

TEST(F1, BucketKernelStagesEveryEntryInOrder) {
  auto key = TestF1Key();
  auto writer = std::make_unique<Writer>();
  BucketWriter<128>* writers[1] = {&writer->w};
  F1Context ctx{key.data(), writers};
  Sink sink;
  writer->w.Bind(&sink);

  // 2^21 / 16384 = 128 blocks per part; parts 3 to 10 of chunk 0 are x in [6144, 22528).
  for (uint64_t t = 3; t <= 10; ++t) ComputeF1Buckets(ctx, 0, 16384, 0, t);
  uint64_t handed = 0;
  for (const auto& b : sink.batches) {
    ASSERT_EQ(b.entries.size(), 64u);  // only whole slots leave during a job
    handed += 64;
  }
  uint64_t staged = 0;
  for (uint64_t c : writer->w.counts) {
    ASSERT_LT(c, 64u);
    staged += c;
  }
  EXPECT_EQ(handed + staged, 16384u);
  EXPECT_GT(handed, 0u);
  writer->w.Flush();
  EXPECT_TRUE(writer->w.Empty());
  CheckEntries(sink.batches, key.data(), 6144, 22528);

  // A part count that leaves ranges of 52 or 53 blocks (whole keystream batches and a short
  // one), and the very last part of the last chunk, which holds x = 2^32 - 1.
  sink.batches.clear();
  writer->w.Bind(&sink);
  const uint64_t p = 40000;
  const uint64_t blocksPerChunk = uint64_t{1} << 21;
  uint64_t b0 = 5 * blocksPerChunk / p, b1 = 6 * blocksPerChunk / p;
  ASSERT_GT(b1 - b0, 32u);
  ASSERT_NE((b1 - b0) % 32, 0u);
  ComputeF1Buckets(ctx, 0, p, 0, 5);
  writer->w.Flush();
  CheckEntries(sink.batches, key.data(), b0 * 16, b1 * 16);

  sink.batches.clear();
  writer->w.Bind(&sink);
  ComputeF1Buckets(ctx, 127, 1u << 17, 0, (1u << 17) - 1);
  writer->w.Flush();
  CheckEntries(sink.batches, key.data(), (uint64_t{1} << 32) - 256, uint64_t{1} << 32);

  // More parts than blocks: some parts are empty, the others take one block each.
  sink.batches.clear();
  writer->w.Bind(&sink);
  ComputeF1Buckets(ctx, 0, uint64_t{1} << 22, 0, 0);
  EXPECT_TRUE(std::all_of(std::begin(writer->w.counts), std::end(writer->w.counts),
                          [](uint64_t c) { return c == 0; }));
  ComputeF1Buckets(ctx, 0, uint64_t{1} << 22, 0, 1);
  writer->w.Flush();
  CheckEntries(sink.batches, key.data(), 0, 16);

  // Arguments outside the 2^32 values of x are refused before anything is staged.
  writer->w.Bind(&sink);
  struct Refused {
    int chunk;
    uint64_t parts, part;
  };
  for (auto [chunk, parts, part] : {Refused{128, 256, 0}, {0, 0, 0}, {127, 256, 256}}) {
    try {
      ComputeF1Buckets(ctx, static_cast<uint8_t>(chunk), parts, 0, part);
      ADD_FAILURE() << chunk << " " << parts << " " << part;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "8E41C2D7");
    }
  }
  EXPECT_TRUE(std::all_of(std::begin(writer->w.counts), std::end(writer->w.counts),
                          [](uint64_t c) { return c == 0; }));
  writer->w.Flush();
}

}  // namespace
