#pragma once

#include <cstdint>

// Required iterations of a proof for k = 32:
// floor(SHA-256(quality || signage-point hash) * difficulty / (2^189 * 65 * 2^31)),
// never 0 (0 becomes 1). A quotient that does not fit in 64 bits gives the
// largest u64, the worst figure. OpenSSL failures throw through ThrowOpenSslError.
uint64_t CalculateIterationsQuality(const uint8_t quality[32], uint64_t difficulty,
                                    const uint8_t signagePointHash[32]);
