#pragma once

#include <cstddef>
#include <cstdint>

#include "plotter/file_start_record.h"

// Where a saved finalization continues; kept in the unfinished final plot at the offset held in
// its header's link field.
struct FinalizeResumeRecord {
  uint8_t table;  // 5 copying the last table, 4..1 two passes each, 0 the first table, 6 done
  uint8_t pass;   // 0 mark, 1 compact (tables 4..1 only)
  uint8_t zero[2];
  uint32_t blockCounter;   // next source block of the current table and pass
  uint64_t bitmapAOffset;  // also where the output resumes
  uint64_t bitmapBOffset;
  uint64_t encoderStateOffset;
  uint64_t encoderStateLength;  // 0 when no encoder state was saved
};
static_assert(sizeof(FinalizeResumeRecord) == 40);
static_assert(offsetof(FinalizeResumeRecord, table) == 0);
static_assert(offsetof(FinalizeResumeRecord, pass) == 1);
static_assert(offsetof(FinalizeResumeRecord, blockCounter) == 4);
static_assert(offsetof(FinalizeResumeRecord, bitmapAOffset) == 8);
static_assert(offsetof(FinalizeResumeRecord, bitmapBOffset) == 16);
static_assert(offsetof(FinalizeResumeRecord, encoderStateOffset) == 24);
static_assert(offsetof(FinalizeResumeRecord, encoderStateLength) == 32);

// The record of a job that has not started: table 5, pass 0, counter 0, no saved state.
constexpr FinalizeResumeRecord NewFinalizeResumeRecord() {
  return FinalizeResumeRecord{5, 0, {0, 0}, 0, ~uint64_t{0}, ~uint64_t{0}, ~uint64_t{0}, 0};
}

// Whether a record at `link` lies wholly inside a file of `size` bytes.
constexpr bool ResumeRecordFits(uint64_t link, uint64_t size) {
  return FitsInFile(link, sizeof(FinalizeResumeRecord), size);
}
