#pragma once

#include <cstdint>

// SHA-256 of exactly 32 bytes; returns out. OpenSSL failures throw through
// ThrowOpenSslError. Each thread keeps its own digest context.
uint8_t* Sha256_32(uint8_t out[32], const uint8_t in[32]);

// SHA-256 of a (32 bytes) followed by b (8 bytes); returns out.
uint8_t* Sha256_32_8(uint8_t out[32], const uint8_t a[32], const uint8_t b[8]);
