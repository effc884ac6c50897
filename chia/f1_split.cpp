#include <immintrin.h>

#include "chia/f1.h"

// Both divisions in double precision: y < 2^38 and its group < 2^25 are exact doubles, and the
// truncated quotient can only come out one too small, at an exact multiple, where the remainder
// check puts it right. Eight (AVX-512) or four (AVX2) entries per vector replace SplitY's two
// 128-bit products per entry.

namespace {

void SplitPortable(const uint32_t* words, uint64_t count, uint32_t xHigh, uint32_t* keys,
                   uint32_t* buckets) {
  for (uint64_t i = 0; i < count; ++i) {
    BcKey k = SplitY(uint64_t{__builtin_bswap32(words[i])} << 6 | xHigh);
    keys[i] = k.key;
    buckets[i] = k.bucket;
  }
}

#define VARNOK_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq")))
#define VARNOK_AVX2 __attribute__((target("avx2,fma")))

// floor(n / d) and n mod d for whole doubles n < 2^53.
VARNOK_AVX512 inline void DivMod8(__m512d n, double d, double inverse, __m512d& q, __m512d& r) {
  q = _mm512_maskz_roundscale_pd(0xFF, _mm512_mul_pd(n, _mm512_set1_pd(inverse)),
                                 _MM_FROUND_TO_NEG_INF);
  r = _mm512_fnmadd_pd(q, _mm512_set1_pd(d), n);
  __mmask8 over = _mm512_cmp_pd_mask(r, _mm512_set1_pd(d), _CMP_GE_OQ);
  q = _mm512_mask_add_pd(q, over, q, _mm512_set1_pd(1.0));
  r = _mm512_mask_sub_pd(r, over, r, _mm512_set1_pd(d));
}

// The masked forms of the conversions: GCC's plain ones start from an undefined register, which
// its warnings flag.
VARNOK_AVX512 inline __m256i Truncate(__m512d v) { return _mm512_maskz_cvttpd_epu32(0xFF, v); }

VARNOK_AVX512 void SplitAvx512(const uint32_t* words, uint64_t count, uint32_t xHigh,
                               uint32_t* keys, uint32_t* buckets) {
  const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3,
                                        2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  const __m512d high = _mm512_set1_pd(static_cast<double>(xHigh));
  uint64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m256i w = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + i)),
                                    swap);
    __m512d y = _mm512_fmadd_pd(_mm512_maskz_cvtepu32_pd(0xFF, w), _mm512_set1_pd(64.0), high);
    __m512d g, r, b, local;
    DivMod8(y, kBC, 1.0 / kBC, g, r);
    DivMod8(g, kGroupsPerBucket, 1.0 / kGroupsPerBucket, b, local);
    __m256i key = _mm256_or_si256(Truncate(r),
                                  _mm256_slli_epi32(Truncate(local), 14));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + i), key);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(buckets + i), Truncate(b));
  }
  SplitPortable(words + i, count - i, xHigh, keys + i, buckets + i);
}

VARNOK_AVX2 inline void DivMod4(__m256d n, double d, double inverse, __m256d& q, __m256d& r) {
  q = _mm256_floor_pd(_mm256_mul_pd(n, _mm256_set1_pd(inverse)));
  r = _mm256_fnmadd_pd(q, _mm256_set1_pd(d), n);
  __m256d over = _mm256_and_pd(_mm256_cmp_pd(r, _mm256_set1_pd(d), _CMP_GE_OQ),
                               _mm256_set1_pd(1.0));
  q = _mm256_add_pd(q, over);
  r = _mm256_fnmadd_pd(over, _mm256_set1_pd(d), r);
}

VARNOK_AVX2 void SplitAvx2(const uint32_t* words, uint64_t count, uint32_t xHigh, uint32_t* keys,
                           uint32_t* buckets) {
  const __m128i swap = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
  // The signed conversion of w - 2^31, plus 2^31, gives w.
  const __m256d high = _mm256_set1_pd(static_cast<double>(xHigh) + 2147483648.0 * 64.0);
  uint64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m128i w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + i)),
                                 swap);
    __m256d y = _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm_xor_si128(w, flip)),
                                _mm256_set1_pd(64.0), high);
    __m256d g, r, b, local;
    DivMod4(y, kBC, 1.0 / kBC, g, r);
    DivMod4(g, kGroupsPerBucket, 1.0 / kGroupsPerBucket, b, local);
    __m128i key = _mm_or_si128(_mm256_cvttpd_epi32(r),
                               _mm_slli_epi32(_mm256_cvttpd_epi32(local), 14));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(keys + i), key);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buckets + i), _mm256_cvttpd_epi32(b));
  }
  SplitPortable(words + i, count - i, xHigh, keys + i, buckets + i);
}

}  // namespace

void SplitF1Words(const uint32_t* words, uint64_t count, uint32_t xHigh, uint32_t* keys,
                  uint32_t* buckets, SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512:
      SplitAvx512(words, count, xHigh, keys, buckets);
      break;
    case SimdLevel::kAvx2:
      SplitAvx2(words, count, xHigh, keys, buckets);
      break;
    default:
      SplitPortable(words, count, xHigh, keys, buckets);
      break;
  }
}
