#pragma once
// Fixed-size Montgomery arithmetic shared by the base field and the scalar field.
// Limbs are little-endian 64-bit words; every routine runs in time independent of the values.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include <x86intrin.h>

namespace bls::mont {

template <size_t N>
using Limbs = std::array<uint64_t, N>;

using U128 = unsigned __int128;

// All-ones when bit is 1, zero otherwise.
inline uint64_t Mask(uint64_t bit) { return 0 - (bit & 1); }

// out = a - m if a >= m else a, given a < 2m (a may carry one extra bit in `hi`).
template <size_t N>
inline void ReduceOnce(Limbs<N>& a, uint64_t hi, const Limbs<N>& m) {
  Limbs<N> t;
  unsigned char borrow = 0;
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) {
    unsigned long long d;
    borrow = _subborrow_u64(borrow, a[i], m[i], &d);
    t[i] = d;
  }
  // Keep the difference unless it borrowed past the extra bit.
  uint64_t keepA = Mask(borrow & ~hi);
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) a[i] = (a[i] & keepA) | (t[i] & ~keepA);
}

template <size_t N>
inline Limbs<N> Add(const Limbs<N>& a, const Limbs<N>& b, const Limbs<N>& m) {
  Limbs<N> r;
  unsigned char carry = 0;
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) {
    unsigned long long s;
    carry = _addcarry_u64(carry, a[i], b[i], &s);
    r[i] = s;
  }
  ReduceOnce(r, carry, m);
  return r;
}

template <size_t N>
inline Limbs<N> Sub(const Limbs<N>& a, const Limbs<N>& b, const Limbs<N>& m) {
  Limbs<N> r;
  unsigned char borrow = 0;
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) {
    unsigned long long d;
    borrow = _subborrow_u64(borrow, a[i], b[i], &d);
    r[i] = d;
  }
  // Add the modulus back when the subtraction wrapped.
  uint64_t mask = Mask(borrow);
  unsigned char carry = 0;
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) {
    unsigned long long s;
    carry = _addcarry_u64(carry, r[i], m[i] & mask, &s);
    r[i] = s;
  }
  return r;
}

// Montgomery product a*b/2^(64N) mod m for a, b < m; inv = -m^-1 mod 2^64. Interleaved
// multiplication and reduction; the top limb of m is below 2^63 - 1 for both moduli here, so the
// running value fits in N limbs and no extra carry word is needed.
template <size_t N>
inline Limbs<N> Mul(const Limbs<N>& a, const Limbs<N>& b, const Limbs<N>& m, uint64_t inv) {
  static_assert(N >= 2);
  uint64_t t[N] = {};
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) {
    U128 p = static_cast<U128>(a[0]) * b[i] + t[0];
    t[0] = static_cast<uint64_t>(p);
    uint64_t carryA = static_cast<uint64_t>(p >> 64);
    uint64_t q = t[0] * inv;
    U128 r = static_cast<U128>(q) * m[0] + t[0];
    uint64_t carryM = static_cast<uint64_t>(r >> 64);
#pragma GCC unroll 8
    for (size_t j = 1; j < N; ++j) {
      p = static_cast<U128>(a[j]) * b[i] + t[j] + carryA;
      carryA = static_cast<uint64_t>(p >> 64);
      r = static_cast<U128>(q) * m[j] + static_cast<uint64_t>(p) + carryM;
      carryM = static_cast<uint64_t>(r >> 64);
      t[j - 1] = static_cast<uint64_t>(r);
    }
    t[N - 1] = carryA + carryM;
  }
  Limbs<N> out;
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) out[i] = t[i];
  ReduceOnce(out, 0, m);
  return out;
}

template <size_t N>
inline bool IsZero(const Limbs<N>& a) {
  uint64_t acc = 0;
  for (size_t i = 0; i < N; ++i) acc |= a[i];
  return acc == 0;
}

template <size_t N>
inline bool Equal(const Limbs<N>& a, const Limbs<N>& b) {
  uint64_t acc = 0;
  for (size_t i = 0; i < N; ++i) acc |= a[i] ^ b[i];
  return acc == 0;
}

// a < b as plain integers, without branching on the values.
template <size_t N>
inline bool Less(const Limbs<N>& a, const Limbs<N>& b) {
  uint64_t borrow = 0;
  for (size_t i = 0; i < N; ++i) {
    U128 d = static_cast<U128>(a[i]) - b[i] - borrow;
    borrow = static_cast<uint64_t>(d >> 64) & 1;
  }
  return borrow != 0;
}

template <size_t N>
inline Limbs<N> Select(const Limbs<N>& a, const Limbs<N>& b, bool chooseB) {
  uint64_t mask = Mask(static_cast<uint64_t>(chooseB));
  Limbs<N> r;
  for (size_t i = 0; i < N; ++i) r[i] = a[i] ^ ((a[i] ^ b[i]) & mask);
  return r;
}

// Big-endian bytes <-> limbs.
template <size_t N>
inline Limbs<N> FromBigEndian(const uint8_t* in) {
  Limbs<N> r{};
  for (size_t i = 0; i < N; ++i) {
    uint64_t w = 0;
    for (size_t k = 0; k < 8; ++k) w = (w << 8) | in[(N - 1 - i) * 8 + k];
    r[i] = w;
  }
  return r;
}

template <size_t N>
inline void ToBigEndian(const Limbs<N>& a, uint8_t* out) {
  for (size_t i = 0; i < N; ++i) {
    uint64_t w = a[N - 1 - i];
    for (size_t k = 0; k < 8; ++k) out[i * 8 + k] = static_cast<uint8_t>(w >> (56 - 8 * k));
  }
}

// A big-endian value of any length, reduced into the field F by Horner's rule over 64-bit words.
// F supplies FromU64, + and *; two64 is 2^64 as an element of F.
template <typename F>
F ReduceBigEndian(std::span<const uint8_t> in, const F& two64) {
  size_t pos = 0;
  auto word = [&](size_t len) {
    uint64_t w = 0;
    for (size_t k = 0; k < len; ++k) w = (w << 8) | in[pos + k];
    pos += len;
    return w;
  };
  F acc;
  if (const size_t head = in.size() % 8; head != 0) acc = F::FromU64(word(head));
  while (pos < in.size()) acc = acc * two64 + F::FromU64(word(8));
  return acc;
}

}  // namespace bls::mont
