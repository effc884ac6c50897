#pragma once

#include <array>
#include <cstdint>

// (n+1 choose 2), (n+2 choose 3) and (n+3 choose 4) for n = 0..65536, ascending.
struct CombinationTableSet {
  static constexpr uint32_t kSize = 65537;
  uint64_t c2[kSize];
  uint64_t c3[kSize];
  uint64_t c4[kSize];
};

// Constant data: complete before any code of the program runs.
extern const CombinationTableSet CombinationTables;

// Four values a >= b >= c >= d in 0..65535 packed as one number of the combinatorial number
// system: c4[a] + c3[b] + c2[c] + d.
struct Combination4 {
  uint32_t a, b, c, d;
};

// Inverse of EncodeCombination4 for v < c4[65536]; each component is the largest n with
// table[n] <= the remainder.
Combination4 DecodeCombination4(uint64_t v);
uint64_t EncodeCombination4(const Combination4& values);
