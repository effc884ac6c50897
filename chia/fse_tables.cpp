#include "chia/fse_tables.h"

#include <bit>
#include <cstring>

namespace {

// Places every symbol into the slots of the table. Returns false when the counts are not a
// valid distribution over exactly kFseTableSize slots.
bool SpreadSymbols(const int16_t counts[kFseSymbolCount], uint8_t symbolAt[kFseTableSize]) {
  int64_t total = 0;
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    if (counts[s] < -1) return false;
    total += counts[s] == -1 ? 1 : counts[s];
  }
  // Checked before spreading: a larger total would walk the slots out of the table.
  if (total != kFseTableSize) return false;

  constexpr uint32_t kMask = kFseTableSize - 1;
  constexpr uint32_t kStep = (kFseTableSize >> 1) + (kFseTableSize >> 3) + 3;
  uint32_t high = kFseTableSize - 1;
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    if (counts[s] == -1) symbolAt[high--] = static_cast<uint8_t>(s);
  }
  uint32_t position = 0;
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    for (int i = 0; i < counts[s]; ++i) {
      symbolAt[position] = static_cast<uint8_t>(s);
      do {
        position = (position + kStep) & kMask;
      } while (position > high);
    }
  }
  return position == 0;
}

}  // namespace

int BuildFseEncodeTable(FseEncodeTable& table, const int16_t counts[kFseSymbolCount]) {
  uint8_t symbolAt[kFseTableSize];
  if (!SpreadSymbols(counts, symbolAt)) return -1;

  table.tableLog = kFseTableLog;
  table.maxSymbol = kFseSymbolCount - 1;
  uint32_t cumulative[kFseSymbolCount];
  uint32_t running = 0;
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    cumulative[s] = running;
    running += counts[s] == -1 ? 1 : static_cast<uint32_t>(counts[s]);
  }
  for (uint32_t u = 0; u < kFseTableSize; ++u) {
    table.stateTable[cumulative[symbolAt[u]]++] = static_cast<uint16_t>(kFseTableSize + u);
  }

  int32_t total = 0;
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    FseSymbolTransform& t = table.symbols[s];
    const int count = counts[s];
    if (count == 0) {
      t.deltaFindState = 0;
      t.deltaNbBits = ((kFseTableLog + 1) << 16) - kFseTableSize;
    } else if (count == -1 || count == 1) {
      t.deltaNbBits = (kFseTableLog << 16) - kFseTableSize;
      t.deltaFindState = total - 1;
      total += 1;
    } else {
      const uint32_t m = kFseTableLog - (std::bit_width(static_cast<uint32_t>(count - 1)) - 1);
      t.deltaNbBits = (m << 16) - (static_cast<uint32_t>(count) << m);
      t.deltaFindState = total - count;
      total += count;
    }
  }
  return 0;
}

int BuildFseDecodeTable(FseDecodeTable& table, const int16_t counts[kFseSymbolCount]) {
  uint8_t symbolAt[kFseTableSize];
  if (!SpreadSymbols(counts, symbolAt)) return -1;

  table.tableLog = kFseTableLog;
  table.reserved = 0;
  uint32_t next[kFseSymbolCount];
  for (unsigned s = 0; s < kFseSymbolCount; ++s) {
    next[s] = counts[s] == -1 ? 1 : static_cast<uint32_t>(counts[s]);
  }
  for (uint32_t u = 0; u < kFseTableSize; ++u) {
    const uint8_t s = symbolAt[u];
    const uint32_t x = next[s]++;
    const uint32_t bits = kFseTableLog - (std::bit_width(x) - 1);
    table.entries[u].symbol = s;
    table.entries[u].nbBits = static_cast<uint8_t>(bits);
    table.entries[u].newStateBase = static_cast<uint16_t>((x << bits) - kFseTableSize);
  }
  return 0;
}
