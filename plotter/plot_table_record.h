#pragma once

#include <cstddef>
#include <cstdint>

#include "chia/block_index.h"
#include "chia/delta_coding_table.h"

// How one stored table lies in a plot: where its first 64 KiB block is, how many entries and
// blocks it has, how its parks are coded, and the block index that locates a position.
struct PlotTableRecord {
  uint64_t offset;
  uint64_t entryCount;
  uint32_t blockCount;
  uint32_t zero;
  DeltaCodingTable coding;
  BlockIndex index;
};
static_assert(sizeof(PlotTableRecord) == 1576);
static_assert(offsetof(PlotTableRecord, offset) == 0);
static_assert(offsetof(PlotTableRecord, entryCount) == 8);
static_assert(offsetof(PlotTableRecord, blockCount) == 16);
static_assert(offsetof(PlotTableRecord, coding) == 24);
static_assert(offsetof(PlotTableRecord, coding) + offsetof(DeltaCodingTable, counts) == 32);
static_assert(offsetof(PlotTableRecord, index) == 544);
static_assert(offsetof(PlotTableRecord, index) + offsetof(BlockIndex, pairs) == 552);

inline constexpr uint64_t kPlotBlockBytes = 65536;
inline constexpr uint32_t kPlotTableCount = 6;
// Table 5 is the last table: wide anchors and no position field.
inline constexpr uint32_t kLastPlotTable = 5;
inline constexpr uint64_t kMaxTableEntries = uint64_t{1} << 32;
inline constexpr uint32_t kMaxTableBlocks = 0x80000;
inline constexpr uint8_t kMaxTableRawBits = 56;
inline constexpr int kMaxIndexCorrectionSpan = 1024;
