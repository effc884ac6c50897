#pragma once

#include <cstdint>

#include "plotter/plot_scale.h"

// Matches the plot test needs over its challenges before a plot passes.
uint64_t PlotTestMinMatches(const PlotScale& scale);

// Challenges the plot test scans for matches.
inline constexpr uint64_t kPlotTestChallenges = 500;
