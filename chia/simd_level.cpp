#include "chia/simd_level.h"

#include <cstdlib>
#include <cstring>

namespace {

SimdLevel Choose() {
  SimdLevel level = SimdLevelSupported(SimdLevel::kAvx512) ? SimdLevel::kAvx512
                    : SimdLevelSupported(SimdLevel::kAvx2) ? SimdLevel::kAvx2
                                                           : SimdLevel::kPortable;
  const char* cap = std::getenv("VARNOK_SIMD");
  if (cap == nullptr) return level;
  if (std::strcmp(cap, "portable") == 0) return SimdLevel::kPortable;
  if (std::strcmp(cap, "avx2") == 0 && level == SimdLevel::kAvx512) return SimdLevel::kAvx2;
  return level;
}

}  // namespace

SimdLevel BestSimdLevel() {
  static const SimdLevel kLevel = Choose();
  return kLevel;
}

bool SimdLevelSupported(SimdLevel level) {
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::kAvx512:
      // The wide kernels use byte and word lanes and 64-bit conversions too.
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    case SimdLevel::kAvx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    default:
      return true;
  }
}
