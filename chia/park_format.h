#pragma once

#include <cstdint>

// Shape of a park: a bit stream of delta fields, the 14-bit final coder state, the anchor (the
// largest value) and an optional 32-bit position, then zero padding and a trailer that holds the
// pad length.

inline constexpr uint64_t kParkBytes = 65536;
inline constexpr unsigned kParkStateBits = 14;
inline constexpr unsigned kParkMaxRawBits = 50;  // r + 14 must fit one 64-bit read
inline constexpr unsigned kParkEscapeSymbol = 255;

// Bits a park spends on everything but the coder state and the deltas: anchor, position field
// and the trailer byte.
constexpr unsigned ParkFixedBits(bool wideAnchor, bool positionField) {
  return (wideAnchor ? 64u : 63u) + (positionField ? 32u : 0u) + 8u;
}

// Smallest park that can hold one value.
constexpr uint64_t ParkMinimumBytes(bool positionField) { return positionField ? 13 : 9; }
