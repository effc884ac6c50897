#include "chia/blake3_lanes.h"

#include <cstring>

namespace {

constexpr uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                             0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
// Chunk start, chunk end and root: a one-block input is all three.
constexpr uint32_t kOneBlockFlags = 1 | 2 | 8;
constexpr unsigned char kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};

using Lanes4 = uint32_t __attribute__((vector_size(16)));
using Lanes8 = uint32_t __attribute__((vector_size(32)));
using Lanes16 = uint32_t __attribute__((vector_size(64)));
using Bytes32 = unsigned char __attribute__((vector_size(32)));

// Rotations by 16 and 8 are byte moves; on AVX2 a byte shuffle does them in one instruction
// where shifts take three. AVX-512 has a rotate instruction, which the shift form becomes.
// Vectors go by reference only, so no function boundary ties the code to one vector ABI.
template <typename V, bool ByteShuffle, int N>
[[gnu::always_inline]] inline void Rotr(V& v) {
  if constexpr (ByteShuffle && N == 16) {
    static_assert(sizeof(V) == sizeof(Bytes32));
    const Bytes32 b = reinterpret_cast<Bytes32>(v);
    v = reinterpret_cast<V>(__builtin_shufflevector(b, b, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14,
                                                    15, 12, 13, 18, 19, 16, 17, 22, 23, 20, 21, 26,
                                                    27, 24, 25, 30, 31, 28, 29));
  } else if constexpr (ByteShuffle && N == 8) {
    static_assert(sizeof(V) == sizeof(Bytes32));
    const Bytes32 b = reinterpret_cast<Bytes32>(v);
    v = reinterpret_cast<V>(__builtin_shufflevector(b, b, 1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13,
                                                    14, 15, 12, 17, 18, 19, 16, 21, 22, 23, 20, 25,
                                                    26, 27, 24, 29, 30, 31, 28));
  } else {
    v = (v >> N) | (v << (32 - N));
  }
}

template <typename V, bool ByteShuffle>
[[gnu::always_inline]] inline void G(V* v, int a, int b, int c, int d, const V& x, const V& y) {
  v[a] += v[b] + x;
  v[d] ^= v[a];
  Rotr<V, ByteShuffle, 16>(v[d]);
  v[c] += v[d];
  v[b] ^= v[c];
  Rotr<V, ByteShuffle, 12>(v[b]);
  v[a] += v[b] + y;
  v[d] ^= v[a];
  Rotr<V, ByteShuffle, 8>(v[d]);
  v[c] += v[d];
  v[b] ^= v[c];
  Rotr<V, ByteShuffle, 7>(v[b]);
}

// Transposes L rows of L words in registers: rows[r][c] becomes rows[c][r]. Each step swaps the
// off-diagonal blocks of size s at every scale; the shuffles are constants once unrolled.
template <typename V, unsigned L>
[[gnu::always_inline]] inline void Transpose(V* rows) {
#if defined(__clang__)
  // Clang has no shuffle with computed masks: swap the words one by one.
  for (unsigned i = 0; i < L; ++i) {
    for (unsigned j = i + 1; j < L; ++j) {
      const auto word = rows[i][j];
      rows[i][j] = rows[j][i];
      rows[j][i] = word;
    }
  }
#else
#pragma GCC unroll 4
  for (unsigned s = 1; s < L; s *= 2) {
    V low, high;
    for (unsigned j = 0; j < L; ++j) {
      low[j] = (j & s) == 0 ? j : L + j - s;
      high[j] = (j & s) == 0 ? j + s : L + j;
    }
#pragma GCC unroll 16
    for (unsigned i = 0; i < L; ++i) {
      if ((i & s) != 0) continue;
      V a = __builtin_shuffle(rows[i], rows[i + s], low);
      V b = __builtin_shuffle(rows[i], rows[i + s], high);
      rows[i] = a;
      rows[i + s] = b;
    }
  }
#endif
}

// Lanes [first, first + L) of the batch: one compression per lane, the seven rounds unrolled so
// that the message permutation is only a renaming of registers.
template <typename V, unsigned L, bool ByteShuffle>
[[gnu::always_inline]] inline void HashLanes(const Blake3LaneBlocks& in, uint32_t length,
                                             Blake3LaneDigests& out, unsigned first) {
  // Lane-major in, word-major in registers: L-by-L blocks of words, transposed.
  V m[16];
#pragma GCC unroll 4
  for (unsigned w0 = 0; w0 < 16; w0 += L) {
#pragma GCC unroll 16
    for (unsigned r = 0; r < L; ++r) std::memcpy(&m[w0 + r], in.bytes[first + r] + 4 * w0, sizeof(V));
    Transpose<V, L>(m + w0);
  }
  V v[16];
  for (int i = 0; i < 8; ++i) v[i] = V{} + kIv[i];
  for (int i = 0; i < 4; ++i) v[8 + i] = V{} + kIv[i];
  v[12] = V{};
  v[13] = V{};
  v[14] = V{} + length;
  v[15] = V{} + kOneBlockFlags;
#pragma GCC unroll 7
  for (int round = 0; round < 7; ++round) {
    G<V, ByteShuffle>(v, 0, 4, 8, 12, m[0], m[1]);
    G<V, ByteShuffle>(v, 1, 5, 9, 13, m[2], m[3]);
    G<V, ByteShuffle>(v, 2, 6, 10, 14, m[4], m[5]);
    G<V, ByteShuffle>(v, 3, 7, 11, 15, m[6], m[7]);
    G<V, ByteShuffle>(v, 0, 5, 10, 15, m[8], m[9]);
    G<V, ByteShuffle>(v, 1, 6, 11, 12, m[10], m[11]);
    G<V, ByteShuffle>(v, 2, 7, 8, 13, m[12], m[13]);
    G<V, ByteShuffle>(v, 3, 4, 9, 14, m[14], m[15]);
    V next[16];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) next[i] = m[kPermutation[i]];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) m[i] = next[i];
  }
  // And back: eight digest words per lane (sixteen lanes transpose with eight rows to spare).
  constexpr unsigned kRows = L < 8 ? L : 8;
  V h[L];
#pragma GCC unroll 2
  for (unsigned w0 = 0; w0 < 8; w0 += kRows) {
#pragma GCC unroll 16
    for (unsigned r = 0; r < L; ++r) h[r] = r < kRows ? v[w0 + r] ^ v[w0 + r + 8] : V{};
    Transpose<V, L>(h);
#pragma GCC unroll 16
    for (unsigned r = 0; r < L; ++r) std::memcpy(out.bytes[first + r] + 4 * w0, &h[r], 4 * kRows);
  }
}

void HashPortable(const Blake3LaneBlocks& in, uint32_t length, Blake3LaneDigests& out) {
  for (unsigned first = 0; first < kBlake3Lanes; first += 4) {
    HashLanes<Lanes4, 4, false>(in, length, out, first);
  }
}

__attribute__((target("avx2"))) void HashAvx2(const Blake3LaneBlocks& in, uint32_t length,
                                              Blake3LaneDigests& out) {
  HashLanes<Lanes8, 8, true>(in, length, out, 0);
  HashLanes<Lanes8, 8, true>(in, length, out, 8);
}

__attribute__((target("avx512f"))) void HashAvx512(const Blake3LaneBlocks& in, uint32_t length,
                                                   Blake3LaneDigests& out) {
  HashLanes<Lanes16, 16, false>(in, length, out, 0);
}

}  // namespace

void Blake3HashLanes(const Blake3LaneBlocks& in, uint32_t length, Blake3LaneDigests& out,
                     SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512:
      HashAvx512(in, length, out);
      break;
    case SimdLevel::kAvx2:
      HashAvx2(in, length, out);
      break;
    default:
      HashPortable(in, length, out);
      break;
  }
}
