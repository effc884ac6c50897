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

uint64_t EncodeCombination4(const Combination4& values) {
  return CombinationTables.c4[values.a] + CombinationTables.c3[values.b] +
         CombinationTables.c2[values.c] + values.d;
}
