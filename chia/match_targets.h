#pragma once

#include <cstdint>

#include "chia/bc_group.h"

inline constexpr uint32_t kMatchTargetCount = 64;  // 2^kExtraBits

// MatchTargets[p][r][m] = ((r / kC + m) mod kB) * kC + ((2m + p)^2 + r) mod kC: the values of
// y mod kBC in group g + 1 that match a left entry with y mod kBC = r in a group of parity p.
// Built once before any kernel reads it; read-only afterwards.
extern const uint16_t (&MatchTargets)[2][kBC][kMatchTargetCount];

// Builds MatchTargets. Safe to call more than once and from several threads; the start-up code
// calls it with the other constant tables.
void InitMatchTargets();
