#pragma once

// The vector instruction sets the batched kernels can use. Each kernel runs on the widest level
// the processor supports unless VARNOK_SIMD names a narrower one ("portable" or "avx2"), so any
// machine can run, and test, every narrower path.
enum class SimdLevel { kPortable, kAvx2, kAvx512 };

// The level chosen at start-up: processor support capped by VARNOK_SIMD.
SimdLevel BestSimdLevel();

// Whether this processor can run the level at all (the portable level always can).
bool SimdLevelSupported(SimdLevel level);
