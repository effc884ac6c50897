#pragma once
// Field constants written as big-endian hex, as the standards publish them.

#include <string_view>

#include "chia/bls/fp2.h"

namespace bls {

// Parses up to 96 hex digits (no prefix) into a field element; throws std::logic_error on a
// malformed or out-of-range constant, which is a programming error.
Fp FpFromHex(std::string_view hex);

inline Fp2 Fp2FromHex(std::string_view c0, std::string_view c1) {
  return {FpFromHex(c0), FpFromHex(c1)};
}

}  // namespace bls
