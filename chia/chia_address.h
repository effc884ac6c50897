#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Text form of a 48-byte public key: bech32m with the prefix "g", 85 characters.
std::string EncodeKeyBech32m(const uint8_t key[48]);

// The size bytes of a bech32 or bech32m text with the given prefix: its 5-bit groups regrouped
// into bytes without padding, at most 4 zero bits left over. False for any other text, with out
// untouched.
bool DecodeBech32Bytes(std::string_view text, std::string_view prefix, uint8_t* out, size_t size);

// Puzzle hash of an "xch" address (bech32 or bech32m checksum). True and the
// 32 bytes in out when the text is a valid address of exactly 32 bytes; false
// otherwise, with out untouched.
bool DecodeChiaAddress(std::string_view text, uint8_t out[32]);
