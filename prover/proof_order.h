#pragma once

#include <cstdint>

// The x pair of a proof's quality: the proof (64 x values, each stored big-endian, in matching
// order) brought into its canonical order, and the pair that challenge byte 31 selects, as 8
// bytes: the smaller x then the larger, each big-endian. The same layout as QualityJob::XPair.
uint64_t ProofQualityXPair(const uint32_t proof[64], const uint8_t challenge[32]);
