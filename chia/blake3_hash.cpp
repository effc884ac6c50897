#include "chia/blake3_hash.h"

#include <blake3.h>

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                             0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr uint32_t kChunkStart = 1, kChunkEnd = 2, kRoot = 8;
constexpr size_t kBlockLength = 64;

// Message word order of each of the seven rounds: the fixed permutation
// applied once more per round.
constexpr std::array<std::array<uint8_t, 16>, 7> MakeSchedule() {
  constexpr uint8_t kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
  std::array<std::array<uint8_t, 16>, 7> schedule{};
  for (uint8_t i = 0; i < 16; ++i) schedule[0][i] = i;
  for (int r = 1; r < 7; ++r) {
    for (int i = 0; i < 16; ++i) schedule[r][i] = schedule[r - 1][kPermutation[i]];
  }
  return schedule;
}
constexpr auto kSchedule = MakeSchedule();

inline void G(uint32_t* v, int a, int b, int c, int d, uint32_t x, uint32_t y) {
  v[a] += v[b] + x;
  v[d] = std::rotr(v[d] ^ v[a], 16);
  v[c] += v[d];
  v[b] = std::rotr(v[b] ^ v[c], 12);
  v[a] += v[b] + y;
  v[d] = std::rotr(v[d] ^ v[a], 8);
  v[c] += v[d];
  v[b] = std::rotr(v[b] ^ v[c], 7);
}

// The whole hash of an input that fits one block: one compression of the
// zero-padded block as the first, last and root block of chunk 0.
void HashOneBlock(const uint8_t* input, size_t length, uint8_t out[32]) {
  uint8_t block[kBlockLength] = {};
  if (length != 0) std::memcpy(block, input, length);
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = uint32_t{block[4 * i]} | uint32_t{block[4 * i + 1]} << 8 |
           uint32_t{block[4 * i + 2]} << 16 | uint32_t{block[4 * i + 3]} << 24;
  }
  uint32_t v[16] = {kIv[0],
                    kIv[1],
                    kIv[2],
                    kIv[3],
                    kIv[4],
                    kIv[5],
                    kIv[6],
                    kIv[7],
                    kIv[0],
                    kIv[1],
                    kIv[2],
                    kIv[3],
                    0,
                    0,
                    static_cast<uint32_t>(length),
                    kChunkStart | kChunkEnd | kRoot};
#pragma GCC unroll 7
  for (int r = 0; r < 7; ++r) {
    const auto& s = kSchedule[r];
    G(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    G(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    G(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    G(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    G(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    G(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    G(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    G(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) {
    uint32_t h = v[i] ^ v[i + 8];
    out[4 * i] = static_cast<uint8_t>(h);
    out[4 * i + 1] = static_cast<uint8_t>(h >> 8);
    out[4 * i + 2] = static_cast<uint8_t>(h >> 16);
    out[4 * i + 3] = static_cast<uint8_t>(h >> 24);
  }
}

}  // namespace

void Blake3Hash(const void* input, uint64_t length, uint8_t out[32]) {
  // Every Fx input is one block; the general hasher costs several times more
  // for those.
  if (length <= kBlockLength) {
    HashOneBlock(static_cast<const uint8_t*>(input), static_cast<size_t>(length), out);
    return;
  }
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, input, static_cast<size_t>(length));
  blake3_hasher_finalize(&hasher, out, 32);
}
