#pragma once

#include <array>
#include <cstdint>

// Distance limits of the proof-tree decoding, one per inner-node level group.
inline constexpr std::array<uint64_t, 4> LevelThresholds = {15000000, 30000000, 60000000,
                                                            120000000};
