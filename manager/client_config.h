#pragma once

#include <cstdint>

#include "plotter/plot_scale.h"

// What the entry point hands to the Client; the Client keeps a copy.
struct ClientConfig {
  uint32_t CompressionLevelMinusOne = 0;  // 0..4
  uint32_t PlottingThreads = 0;
  uint32_t MiningThreads = 0;
  uint32_t ReadThreads = 0;
  uint64_t MemoryAmount = 0;  // bytes, 0 = automatic
  uint8_t NoPlotting = 0;
  uint8_t NoFinalizing = 0;
  uint8_t RunBenchmark = 0;
  uint8_t MiningOff = 0;
  uint8_t TestThreadOff = 0;
  uint8_t SkipTest = 0;
  uint8_t LowPriority = 0;
  uint8_t CheckPlots = 0;
  uint8_t NoRescan = 0;
  PlotScale Scale{};  // production except in the test build of the executable

  friend bool operator==(const ClientConfig&, const ClientConfig&) = default;
};
