#pragma once

#include <cstdint>

#include "plotter/plot_scale.h"

// What the entry point hands to the Client; the Client keeps a copy.
struct ClientConfig {
  uint32_t compressionLevelMinusOne = 0;  // 0..4
  uint32_t plottingThreads = 0;
  uint32_t miningThreads = 0;
  uint32_t readThreads = 0;
  uint64_t memoryAmount = 0;  // bytes, 0 = automatic
  uint8_t noPlotting = 0;
  uint8_t noFinalizing = 0;
  uint8_t runBenchmark = 0;
  uint8_t miningOff = 0;
  uint8_t testThreadOff = 0;
  uint8_t skipTest = 0;
  uint8_t lowPriority = 0;
  uint8_t checkPlots = 0;
  uint8_t noRescan = 0;
  PlotScale scale{};  // production except in the test build of the executable

  friend bool operator==(const ClientConfig&, const ClientConfig&) = default;
};
