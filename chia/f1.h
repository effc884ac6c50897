#pragma once

#include <cstdint>

#include "chia/bc_group.h"
#include "chia/simd_level.h"
#include "runtime/bucket_writer.h"

// F1 for k = 32: y = (keystream bytes 4x .. 4x+3 as a big-endian u32) << 6 | (x >> 26), the
// keystream being ChaCha8 keyed by the F1 key with block counter x >> 4.

// 8 bytes as the plot engine stores them: key word (y mod kBC | local group << 14), then x as
// four big-endian bytes. The bucket is where the entry is placed.
struct F1Entry {
  uint32_t key;
  uint32_t xBigEndian;
};

// The recomputation's order of the same two words.
struct PrefixF1Entry {
  uint32_t xBigEndian;
  uint32_t key;
};

static_assert(sizeof(F1Entry) == 8 && sizeof(PrefixF1Entry) == 8);

// Byte 0 = 1, bytes 1..31 = plot id bytes 0..30.
void MakeF1Key(const uint8_t plotId[32], uint8_t f1Key[32]);

// ChaCha state (constant, key, zero counter and nonce) for an F1 key.
void MakeF1State(const uint8_t f1Key[32], uint32_t state[16]);

// y of one x, from the state above.
uint64_t ComputeF1(const uint32_t state[16], uint32_t x);

// y from the keystream word that serves x (as ChaCha8Block returns it).
inline uint64_t F1FromWord(uint32_t word, uint32_t x) {
  return uint64_t{__builtin_bswap32(word)} << 6 | (x >> 26);
}

// What ComputeF1Buckets reads: the F1 key and one 128-slot writer per worker, each bound to the
// step's sink.
struct F1Context {
  const uint8_t* f1Key;
  BucketWriter<128>* const* writers;
};

inline constexpr uint64_t kF1BlocksPerChunk = uint64_t{1} << 21;
inline constexpr uint32_t kF1Chunks = 128;

// Task body: F1 for the blocks [c*2^21 + t*2^21/P, c*2^21 + (t+1)*2^21/P) in x order, each
// entry staged into its bucket's slot of the worker's writer (full slots go to the sink 64 at a
// time; the rest stays staged for the caller's final flush). Raises "8E41C2D7" for a chunk above
// 127, a part count of 0 or a part index not below the part count.
void ComputeF1Buckets(const F1Context& context, uint8_t chunk, uint64_t partCount, uint64_t worker,
                      uint64_t part);

// SplitY of the y that keystream words[i] serves, for `count` words whose x share xHigh =
// x >> 26: keys[i] and buckets[i] are SplitY's key and bucket. ComputeF1Buckets splits its
// blocks this way; the vector paths give exactly the results of SplitY.
void SplitF1Words(const uint32_t* words, uint64_t count, uint32_t xHigh, uint32_t* keys,
                  uint32_t* buckets, SimdLevel level = BestSimdLevel());
