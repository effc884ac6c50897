#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// Multiplier of a size suffix of -m and -d; -1 ("N") marks a plot count instead of a size.
struct SizeSuffix {
  const char* suffix;  // upper case
  int64_t multiplier;
};

inline constexpr int64_t kPlotCountSuffix = -1;

inline constexpr std::array<SizeSuffix, 17> SizeSuffixTable = {{
    {"B", 1},
    {"N", kPlotCountSuffix},
    {"K", int64_t{1} << 10},
    {"M", int64_t{1} << 20},
    {"G", int64_t{1} << 30},
    {"T", int64_t{1} << 40},
    {"P", int64_t{1} << 50},
    {"KB", int64_t{1} << 10},
    {"MB", int64_t{1} << 20},
    {"GB", int64_t{1} << 30},
    {"TB", int64_t{1} << 40},
    {"PB", int64_t{1} << 50},
    {"KIB", int64_t{1} << 10},
    {"MIB", int64_t{1} << 20},
    {"GIB", int64_t{1} << 30},
    {"TIB", int64_t{1} << 40},
    {"PIB", int64_t{1} << 50},
}};

// Looks a suffix up in any letter case; nothing for an unknown or empty suffix.
std::optional<int64_t> FindSizeSuffix(std::string_view suffix);
