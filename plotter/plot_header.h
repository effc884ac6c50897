#pragma once

#include <cstddef>
#include <cstdint>

#include "chia/plot_keys.h"
#include "plotter/file_start_record.h"
#include "plotter/plot_table_record.h"

// The 10056-byte header at offset 0 of every sparse and final plot.
//
// State bytes: a complete sparse plot has sparse, complete and closed all 1; a complete final
// plot has sparse 0 and complete = closed = 1; complete 0 with closed 1 is a cleanly saved,
// resumable plot; closed 0 means a writer was working on the file when it stopped.
struct PlotHeader {
  FileStartRecord start;
  uint8_t sparse;
  uint8_t complete;
  uint8_t closed;
  uint8_t level;
  uint8_t keyBlockFlag;
  uint8_t zero[3];
  // Sparse plot: the value its temp headers share. Final plot being made: the file offset of
  // its FinalizeResumeRecord. Complete final plot: 0.
  uint64_t link;
  uint64_t creationTime;  // seconds since the epoch; never 0 in a valid plot
  uint8_t plotId[32];
  PlotKeyBlock keyBlock;  // zero while keyBlockFlag is 0
  PlotTableRecord tables[kPlotTableCount];
};
static_assert(sizeof(PlotHeader) == 10056);
static_assert(offsetof(PlotHeader, sparse) == 32);
static_assert(offsetof(PlotHeader, complete) == 33);
static_assert(offsetof(PlotHeader, closed) == 34);
static_assert(offsetof(PlotHeader, level) == 35);
static_assert(offsetof(PlotHeader, keyBlockFlag) == 36);
static_assert(offsetof(PlotHeader, link) == 40);
static_assert(offsetof(PlotHeader, creationTime) == 48);
static_assert(offsetof(PlotHeader, plotId) == 56);
static_assert(offsetof(PlotHeader, keyBlock) == 88);
static_assert(offsetof(PlotHeader, tables) == 600);

inline constexpr uint64_t kPlotHeaderBytes = sizeof(PlotHeader);
inline constexpr uint8_t kMaxCompressionLevel = 4;
// Table data of a final plot starts at the first multiple of 4096 after the header.
inline constexpr uint64_t kFinalPlotDataOffset = 12288;

// The length a complete final plot is truncated to: its marker, rounded up to whole 4096-byte
// blocks.
constexpr uint64_t CompletePlotFileSize(uint64_t markerOffset) {
  return (markerOffset + 8 + 4095) / 4096 * 4096;
}
