#include "chia/chacha8_x8.h"

#include <immintrin.h>

#include "chia/chacha8.h"

namespace {

#define VARNOK_AVX2 __attribute__((target("avx2")))

VARNOK_AVX2 inline __m256i Rotl(__m256i v, int n) {
  return _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - n));
}

// Rotations by 16 and 8 are byte moves within each 32-bit lane.
VARNOK_AVX2 inline __m256i Rotl16(__m256i v) {
  const __m256i k = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0,
                                     1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
  return _mm256_shuffle_epi8(v, k);
}

VARNOK_AVX2 inline __m256i Rotl8(__m256i v) {
  const __m256i k = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14, 3, 0, 1,
                                     2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
  return _mm256_shuffle_epi8(v, k);
}

VARNOK_AVX2 inline void Quarter(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = _mm256_add_epi32(a, b);
  d = Rotl16(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = Rotl(_mm256_xor_si256(b, c), 12);
  a = _mm256_add_epi32(a, b);
  d = Rotl8(_mm256_xor_si256(d, a));
  c = _mm256_add_epi32(c, d);
  b = Rotl(_mm256_xor_si256(b, c), 7);
}

// One block per 32-bit lane.
VARNOK_AVX2 void Blocks8Avx2(const uint32_t state[16], uint32_t counter, uint32_t out[16][8]) {
  __m256i in[16];
  for (int i = 0; i < 16; ++i) in[i] = _mm256_set1_epi32(static_cast<int>(state[i]));
  in[12] = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(counter)),
                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  in[13] = _mm256_setzero_si256();
  __m256i x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3];
  __m256i x4 = in[4], x5 = in[5], x6 = in[6], x7 = in[7];
  __m256i x8 = in[8], x9 = in[9], x10 = in[10], x11 = in[11];
  __m256i x12 = in[12], x13 = in[13], x14 = in[14], x15 = in[15];
  for (int round = 0; round < 4; ++round) {
    Quarter(x0, x4, x8, x12);
    Quarter(x1, x5, x9, x13);
    Quarter(x2, x6, x10, x14);
    Quarter(x3, x7, x11, x15);
    Quarter(x0, x5, x10, x15);
    Quarter(x1, x6, x11, x12);
    Quarter(x2, x7, x8, x13);
    Quarter(x3, x4, x9, x14);
  }
  const __m256i x[16] = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
  for (int i = 0; i < 16; ++i) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[i]), _mm256_add_epi32(x[i], in[i]));
  }
}

void Blocks8Scalar(const uint32_t state[16], uint32_t counter, uint32_t out[16][8]) {
  for (uint32_t k = 0; k < 8; ++k) {
    uint32_t block[16];
    ChaCha8Block(state, counter + k, block);
    for (int j = 0; j < 16; ++j) out[j][k] = block[j];
  }
}

const bool hasAvx2 = __builtin_cpu_supports("avx2");

}  // namespace

void ChaCha8Blocks8(const uint32_t state[16], uint32_t counter, uint32_t out[16][8]) {
  if (hasAvx2) {
    Blocks8Avx2(state, counter, out);
  } else {
    Blocks8Scalar(state, counter, out);
  }
}
