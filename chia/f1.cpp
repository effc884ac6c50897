#include "chia/f1.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "chia/bc_group.h"
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

namespace {

inline void StageF1(BucketWriter<128>& writer, uint32_t word, uint32_t x) {
  BcKey k = SplitY(F1FromWord(word, x));
  F1Entry e{k.key, __builtin_bswap32(x)};
  writer.Stage<sizeof(F1Entry)>(k.bucket, &e);
}

}  // namespace

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

  // Blocks are made a batch at a time on the widest vector unit; entries are staged in x order.
  constexpr uint64_t kBatch = 32;
  alignas(64) uint32_t blocks[kBatch][16];
  for (uint64_t n = begin; n < end; n += kBatch) {
    uint64_t count = std::min(kBatch, end - n);
    ChaCha8Blocks(state, static_cast<uint32_t>(n), count, blocks[0]);
    for (uint64_t k = 0; k < count; ++k) {
      auto x0 = static_cast<uint32_t>((n + k) << 4);
      for (uint32_t j = 0; j < 16; ++j) StageF1(writer, blocks[k][j], x0 | j);
    }
  }
}
