#include "chia/match_targets.h"

#include <mutex>

namespace {

alignas(64) uint16_t table[2][kBC][kMatchTargetCount];
std::once_flag built;

void Build() {
  for (uint32_t p = 0; p < 2; ++p) {
    for (uint32_t r = 0; r < kBC; ++r) {
      uint32_t b = r / kC;
      uint32_t c = r % kC;
      for (uint32_t m = 0; m < kMatchTargetCount; ++m) {
        uint32_t s = 2 * m + p;
        table[p][r][m] = static_cast<uint16_t>(((b + m) % kB) * kC + (s * s + c) % kC);
      }
    }
  }
}

// Also built during static initialisation, so kernels never see an empty table.
[[maybe_unused]] const bool kBuiltAtStartup = (InitMatchTargets(), true);

}  // namespace

const uint16_t (&MatchTargets)[2][kBC][kMatchTargetCount] = table;

void InitMatchTargets() { std::call_once(built, Build); }
