#pragma once
// Fixed-size Montgomery arithmetic shared by the base field and the scalar field.
// Limbs are little-endian 64-bit words; every routine runs in time independent of the values.

#include <array>
#include <cstddef>
#include <cstdint>

namespace bls::mont {

template <size_t N>
using Limbs = std::array<uint64_t, N>;

using u128 = unsigned __int128;

// All-ones when bit is 1, zero otherwise.
inline uint64_t Mask(uint64_t bit) { return 0 - (bit & 1); }

// out = a - m if a >= m else a, given a < 2m (a may carry one extra bit in `hi`).
template <size_t N>
inline void ReduceOnce(Limbs<N>& a, uint64_t hi, const Limbs<N>& m) {
  Limbs<N> t;
  uint64_t borrow = 0;
  for (size_t i = 0; i < N; ++i) {
    u128 d = static_cast<u128>(a[i]) - m[i] - borrow;
    t[i] = static_cast<uint64_t>(d);
    borrow = static_cast<uint64_t>(d >> 64) & 1;
  }
  // Keep the difference unless it borrowed past the extra bit.
  uint64_t keep_a = Mask(borrow & ~hi);
  for (size_t i = 0; i < N; ++i) a[i] = (a[i] & keep_a) | (t[i] & ~keep_a);
}

template <size_t N>
inline Limbs<N> Add(const Limbs<N>& a, const Limbs<N>& b, const Limbs<N>& m) {
  Limbs<N> r;
  uint64_t carry = 0;
  for (size_t i = 0; i < N; ++i) {
    u128 s = static_cast<u128>(a[i]) + b[i] + carry;
    r[i] = static_cast<uint64_t>(s);
    carry = static_cast<uint64_t>(s >> 64);
  }
  ReduceOnce(r, carry, m);
  return r;
}

template <size_t N>
inline Limbs<N> Sub(const Limbs<N>& a, const Limbs<N>& b, const Limbs<N>& m) {
  Limbs<N> r;
  uint64_t borrow = 0;
  for (size_t i = 0; i < N; ++i) {
    u128 d = static_cast<u128>(a[i]) - b[i] - borrow;
    r[i] = static_cast<uint64_t>(d);
    borrow = static_cast<uint64_t>(d >> 64) & 1;
  }
  // Add the modulus back when the subtraction wrapped.
  uint64_t mask = Mask(borrow);
  uint64_t carry = 0;
  for (size_t i = 0; i < N; ++i) {
    u128 s = static_cast<u128>(r[i]) + (m[i] & mask) + carry;
    r[i] = static_cast<uint64_t>(s);
    carry = static_cast<uint64_t>(s >> 64);
  }
  return r;
}

// Montgomery product a*b/2^(64N) mod m (CIOS), for a, b < m; inv = -m^-1 mod 2^64.
template <size_t N>
inline Limbs<N> Mul(const Limbs<N>& a, const Limbs<N>& b, const Limbs<N>& m, uint64_t inv) {
  uint64_t t[N + 2] = {};
#pragma GCC unroll 8
  for (size_t i = 0; i < N; ++i) {
    uint64_t carry = 0;
#pragma GCC unroll 8
    for (size_t j = 0; j < N; ++j) {
      u128 s = static_cast<u128>(a[j]) * b[i] + t[j] + carry;
      t[j] = static_cast<uint64_t>(s);
      carry = static_cast<uint64_t>(s >> 64);
    }
    u128 s = static_cast<u128>(t[N]) + carry;
    t[N] = static_cast<uint64_t>(s);
    t[N + 1] = static_cast<uint64_t>(s >> 64);

    uint64_t q = t[0] * inv;
    s = static_cast<u128>(q) * m[0] + t[0];
    carry = static_cast<uint64_t>(s >> 64);
#pragma GCC unroll 8
    for (size_t j = 1; j < N; ++j) {
      s = static_cast<u128>(q) * m[j] + t[j] + carry;
      t[j - 1] = static_cast<uint64_t>(s);
      carry = static_cast<uint64_t>(s >> 64);
    }
    s = static_cast<u128>(t[N]) + carry;
    t[N - 1] = static_cast<uint64_t>(s);
    t[N] = t[N + 1] + static_cast<uint64_t>(s >> 64);
  }
  Limbs<N> r;
  for (size_t i = 0; i < N; ++i) r[i] = t[i];
  ReduceOnce(r, t[N], m);
  return r;
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
    u128 d = static_cast<u128>(a[i]) - b[i] - borrow;
    borrow = static_cast<uint64_t>(d >> 64) & 1;
  }
  return borrow != 0;
}

template <size_t N>
inline Limbs<N> Select(const Limbs<N>& a, const Limbs<N>& b, bool choose_b) {
  uint64_t mask = Mask(static_cast<uint64_t>(choose_b));
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

}  // namespace bls::mont
