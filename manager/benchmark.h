#pragma once

#include <cstdint>
#include <string>

// How many plots of one level a machine mines at `ms` milliseconds per proof: 0 above 4000 ms
// (too slow), otherwise the capacity table, interpolated in the reciprocal of the time.
uint64_t MiningCapacity(uint64_t ms);

// The benchmark's line for compression level `level` (1..5) measured at `ms` per proof.
std::string BenchmarkLine(uint32_t level, uint64_t ms);

// Milliseconds per proof from a measurement: each iteration recomputes one sixteenth of a
// proof. Rounded half away from zero; below 0.001 gives 0.
uint64_t MillisecondsPerProof(uint64_t elapsedMs, uint64_t iterations);
