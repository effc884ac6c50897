#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Text form of a 48-byte public key: bech32m with the prefix "g", 85 characters.
std::string EncodeKeyBech32m(const uint8_t key[48]);

// Puzzle hash of an "xch" address (bech32 or bech32m checksum). True and the
// 32 bytes in out when the text is a valid address of exactly 32 bytes; false
// otherwise, with out untouched.
bool DecodeChiaAddress(std::string_view text, uint8_t out[32]);
