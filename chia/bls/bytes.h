#pragma once

#include <cstdint>
#include <span>

namespace bls {

// A read-only view of bytes, as the key and element factories take them.
using Bytes = std::span<const uint8_t>;

}  // namespace bls
