#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Exactly 2 x count hexadecimal digits (either case) into count bytes, first byte first. A
// control or white-space character (or the end of the text) where a digit is due: "Hex value too
// short"; any other non-digit there: "Invalid hex character"; a letter or digit right after the
// last digit: "Hex value too long". Anything else after the digits ends the value. All three are
// std::invalid_argument.
void ParseHexBytes(std::string_view text, uint8_t* out, size_t count);

// 64 digits into 32 bytes, with the rules above.
std::array<uint8_t, 32> ParseHex32(std::string_view text);
