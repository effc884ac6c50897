#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bls {

// expand_message_xmd with SHA-256: `length` uniform bytes from `message` under the domain
// separation tag `dst`. Throws std::runtime_error for a tag longer than 255 bytes or a length the
// construction cannot produce (more than 255 blocks or above 65535 bytes).
std::vector<uint8_t> ExpandMessageXmd(std::span<const uint8_t> message,
                                      std::span<const uint8_t> dst, size_t length);

}  // namespace bls
