#pragma once

#include <array>
#include <cstdint>

// Byte sizes of one plot, indexed by compression level minus one (levels 1 to 5).
inline constexpr std::array<uint64_t, 5> FinalPlotSizeByLevel = {
    90900000000ull, 89190000000ull, 87470000000ull, 85750000000ull, 84030000000ull};
inline constexpr std::array<uint64_t, 5> SparsePlotSizeByLevel = {
    103360000000ull, 101210000000ull, 99070000000ull, 96920000000ull, 94770000000ull};
