#pragma once

#include <cstddef>
#include <cstdint>

#include "plotter/file_start_record.h"

// The 1144-byte header at offset 0 of each plotter temp file. The first temp file's header holds
// the resume position of the plot being made.
struct TempFileHeader {
  FileStartRecord start;  // marker value 0, never changed
  uint64_t link;          // equals the plot header's link
  uint8_t fileCount;      // 1..16
  uint8_t fileIndex;      // below fileCount
  uint8_t complete;       // set when the plot is complete: no longer resumable
  uint8_t saved;          // 0 while the engine runs, 1 after a save
  uint8_t step;           // 0..7, 8 when done
  uint8_t subStep;        // 0 or 1
  int8_t bucket;          // 0..127
  uint8_t level;
  uint64_t runningTotal;  // values already written by a table pass saved midway
  uint8_t plotId[32];
  uint64_t ranges[3];
  uint64_t encoderStateLength;  // park-encoder state saved in temp file 0; 0 when none
  uint32_t counts[2][128];
};
static_assert(sizeof(TempFileHeader) == 1144);
static_assert(offsetof(TempFileHeader, link) == 32);
static_assert(offsetof(TempFileHeader, fileCount) == 40);
static_assert(offsetof(TempFileHeader, fileIndex) == 41);
static_assert(offsetof(TempFileHeader, complete) == 42);
static_assert(offsetof(TempFileHeader, saved) == 43);
static_assert(offsetof(TempFileHeader, step) == 44);
static_assert(offsetof(TempFileHeader, subStep) == 45);
static_assert(offsetof(TempFileHeader, bucket) == 46);
static_assert(offsetof(TempFileHeader, level) == 47);
static_assert(offsetof(TempFileHeader, runningTotal) == 48);
static_assert(offsetof(TempFileHeader, plotId) == 56);
static_assert(offsetof(TempFileHeader, ranges) == 88);
static_assert(offsetof(TempFileHeader, encoderStateLength) == 112);
static_assert(offsetof(TempFileHeader, counts) == 120);

inline constexpr uint64_t kTempHeaderBytes = sizeof(TempFileHeader);
inline constexpr uint8_t kMaxTempFiles = 16;
