#include "plotter/combination_tables.h"

#include <algorithm>

namespace {

constexpr CombinationTableSet BuildCombinationTables() {
  CombinationTableSet t{};
  for (uint32_t n = 1; n < CombinationTableSet::kSize; ++n) {
    t.c2[n] = t.c2[n - 1] + n;
    t.c3[n] = t.c3[n - 1] + t.c2[n];
    t.c4[n] = t.c4[n - 1] + t.c3[n];
  }
  return t;
}

// Largest n in 0..65535 with table[n] <= v (table[0] is 0, so there always is one).
uint32_t LargestAtMost(const uint64_t* table, uint64_t v) {
  const uint64_t* end = table + CombinationTableSet::kSize - 1;
  return static_cast<uint32_t>(std::upper_bound(table, end, v) - table - 1);
}

}  // namespace

constinit const CombinationTableSet CombinationTables = BuildCombinationTables();

Combination4 DecodeCombination4(uint64_t v) {
  Combination4 out{};
  out.a = LargestAtMost(CombinationTables.c4, v);
  v -= CombinationTables.c4[out.a];
  out.b = LargestAtMost(CombinationTables.c3, v);
  v -= CombinationTables.c3[out.b];
  out.c = LargestAtMost(CombinationTables.c2, v);
  out.d = static_cast<uint32_t>(v - CombinationTables.c2[out.c]);
  return out;
}

// The closed forms of the tables: a plot's every table-1 entry is encoded, and three lookups at
// random places in 1.5 MB of tables miss the cache where a few multiplications do not.
uint64_t EncodeCombination4(const Combination4& values) {
  const uint64_t a = values.a, b = values.b, c = values.c;
  // a(a+3) and (a+1)(a+2) are even, and their halves' product stays below 2^62.
  const uint64_t m = a * (a + 3);
  const uint64_t c4 = (m / 2) * (m / 2 + 1) / 6;
  const uint64_t c3 = b * (b + 1) * (b + 2) / 6;
  const uint64_t c2 = c * (c + 1) / 2;
  return c4 + c3 + c2 + values.d;
}
