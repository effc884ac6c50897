#include "chia/f1.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "chia/chacha8.h"

void MakeF1Key(const uint8_t plotId[32], uint8_t f1Key[32]) {
  f1Key[0] = 1;
  std::memcpy(f1Key + 1, plotId, 31);
}

void MakeF1State(const uint8_t f1Key[32], uint32_t state[16]) { ChaCha8InitState(state, f1Key); }

uint64_t ComputeF1(const uint32_t state[16], uint32_t x) {
  uint32_t block[16];
  ChaCha8Block(state, x >> 4, block);
  return F1FromWord(block[x & 15], x);
}

void ComputeF1Buckets(const F1Context& context, uint8_t chunk, uint64_t partCount, uint64_t worker,
                      uint64_t part) {
  // Past chunk 127 (or past the last part of a chunk) the 32-bit x would wrap while the block
  // counter does not, or the part would repeat another chunk's entries.
  if (chunk >= kF1Chunks || partCount == 0 || part >= partCount) {
    throw std::runtime_error("8E41C2D7");
  }
  uint64_t base = uint64_t{chunk} * kF1BlocksPerChunk;
  uint64_t begin = base + part * kF1BlocksPerChunk / partCount;
  uint64_t end = base + (part + 1) * kF1BlocksPerChunk / partCount;
  if (begin >= end) return;
  uint32_t state[16];
  MakeF1State(context.f1Key, state);
  BucketWriter<128>& writer = *context.writers[worker];

  // Blocks are made and split a batch at a time on the widest vector unit; entries are staged
  // in x order. All x of a part share x >> 26 (a chunk spans 2^25 of them, aligned).
  constexpr uint64_t kBatch = 32;
  alignas(64) uint32_t blocks[kBatch * 16];
  alignas(64) uint32_t keys[kBatch * 16];
  alignas(64) uint32_t buckets[kBatch * 16];
  const auto xHigh = static_cast<uint32_t>(begin >> 22);
  const SimdLevel level = BestSimdLevel();
  for (uint64_t n = begin; n < end; n += kBatch) {
    uint64_t count = std::min(kBatch, end - n);
    ChaCha8Blocks(state, static_cast<uint32_t>(n), count, blocks);
    SplitF1Words(blocks, count * 16, xHigh, keys, buckets, level);
    auto x = static_cast<uint32_t>(n << 4);
    for (uint64_t i = 0; i < count * 16; ++i, ++x) {
      F1Entry e{keys[i], __builtin_bswap32(x)};
      writer.Stage<sizeof(F1Entry)>(buckets[i], &e);
    }
  }
}
