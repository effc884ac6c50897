#include "plotter/combination_tables.h"

#include <algorithm>

namespace {

constexpr CombinationTableSet BuildCombinationTables() {
  CombinationTableSet t{};
  for (uint32_t n = 1; n < CombinationTableSet::kSize; ++n) {
    t.C2[n] = t.C2[n - 1] + n;
    t.C3[n] = t.C3[n - 1] + t.C2[n];
    t.C4[n] = t.C4[n - 1] + t.C3[n];
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
  out.a = LargestAtMost(CombinationTables.C4, v);
  v -= CombinationTables.C4[out.a];
  out.b = LargestAtMost(CombinationTables.C3, v);
  v -= CombinationTables.C3[out.b];
  out.c = LargestAtMost(CombinationTables.C2, v);
  out.d = static_cast<uint32_t>(v - CombinationTables.C2[out.c]);
  return out;
}

uint64_t EncodeCombination4(const Combination4& values) {
  return CombinationTables.C4[values.a] + CombinationTables.C3[values.b] +
         CombinationTables.C2[values.c] + values.d;
}
