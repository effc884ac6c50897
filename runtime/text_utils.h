#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Byte count as GiB with exactly two decimals and no unit: 1610612736 -> "1.50".
std::string FormatGiB(uint64_t bytes);

// Upper-case hexadecimal, two digits per byte, high nibble first. The one-argument form
// takes the 32 bytes of a plot id.
std::string ToHexUpper(const uint8_t* bytes);
std::string ToHexUpper(const uint8_t* bytes, size_t count);

// Lower-case hexadecimal, two digits per byte, high nibble first.
std::string ToHexLower(const uint8_t* bytes, size_t count);
