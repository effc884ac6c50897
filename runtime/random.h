#pragma once

#include <cstdint>

// 64 bits from the system's random device: two 32-bit draws, the first in the high half.
// Throws when the device cannot be opened.
uint64_t Random64();
