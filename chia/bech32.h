#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Bech32 and bech32m text (BIP-173 with the BIP-350 checksum constant).

enum : uint32_t {
  kBech32Invalid = 0,
  kBech32 = 1,
  kBech32m = 2,
};

// Result of Bech32Decode; any failure leaves encoding 0, an empty prefix and
// empty data.
struct Bech32Decoded {
  uint32_t encoding = kBech32Invalid;
  std::string prefix;         // lower case
  std::vector<uint8_t> data;  // 5-bit values, without the six check values
};

// prefix + "1" + one character per 5-bit value + six check characters, always
// with the bech32m constant. The prefix is written as given.
std::string Bech32mEncode(std::string_view prefix, const std::vector<uint8_t>& data);

Bech32Decoded Bech32Decode(std::string_view text);

// Appends the bytes [begin, end) as 5-bit groups, most significant bits first,
// the last group zero-padded.
void Bech32ConvertBits(std::vector<uint8_t>& out, const uint8_t* begin, const uint8_t* end);

// For a prefix of n characters: the high 3 bits of each, 0, the low 5 bits of each.
std::vector<uint8_t> Bech32ExpandHrp(std::string_view prefix);

// The BIP-173 checksum polynomial over 5-bit values.
uint32_t Bech32Polymod(const std::vector<uint8_t>& values);
