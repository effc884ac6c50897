#include "plotter/table_record_checks.h"

#include <algorithm>

const char* TableRecordFault(const PlotTableRecord& record) {
  if (record.entryCount > kMaxTableEntries) return "5068A65E";
  if (record.blockCount > kMaxTableBlocks) return "C132E4FC";
  if (record.coding.rawBits > kMaxTableRawBits) return "5183D42B";
  for (const BlockIndexPair& pair : record.index.pairs) {
    // The encoder's own mark for a pair no guess reaches is let through: it names no block.
    if (pair.high < pair.low && !IsUntouchedPair(pair)) return "8A8A3F45";
    if (pair.high - pair.low > kMaxIndexCorrectionSpan) return "2DDC6CFA";
  }
  return nullptr;
}

const char* TableLayoutFault(const PlotHeader& header, uint64_t fileSize) {
  if (header.tables[4].entryCount == 0 && header.tables[5].entryCount != 0) return "5608A623";
  uint64_t widest = 0;
  for (const PlotTableRecord& record : header.tables) {
    widest = std::max<uint64_t>(widest, kMaxTableBlocks / (uint64_t{record.coding.rawBits} + 1));
  }
  if (widest > 0x10000) return "CFA9F4D6";
  for (const PlotTableRecord& record : header.tables) {
    if (!FitsInFile(record.offset, uint64_t{record.blockCount} * kPlotBlockBytes, fileSize)) {
      return "01CD4328";
    }
  }
  return nullptr;
}
