#pragma once

#include <cstdint>

// Finite-state entropy (tANS) tables with a fixed table log of 14 over the 256 delta symbols.
// A normalized count of -1 marks a low-probability symbol that owns exactly one slot.

inline constexpr unsigned kFseTableLog = 14;
inline constexpr uint32_t kFseTableSize = 1u << kFseTableLog;
inline constexpr unsigned kFseSymbolCount = 256;

struct FseSymbolTransform {
  int32_t deltaFindState;
  uint32_t deltaNbBits;
};

// Compression table, 34,820 bytes.
struct FseEncodeTable {
  uint16_t tableLog;
  uint16_t maxSymbol;
  uint16_t stateTable[kFseTableSize];
  FseSymbolTransform symbols[kFseSymbolCount];
};
static_assert(sizeof(FseEncodeTable) == 34820);

struct FseDecodeEntry {
  uint16_t newStateBase;
  uint8_t symbol;
  uint8_t nbBits;
};

// Decoding table, 65,540 bytes.
struct FseDecodeTable {
  uint16_t tableLog;
  uint16_t reserved;
  FseDecodeEntry entries[kFseTableSize];
};
static_assert(sizeof(FseDecodeTable) == 65540);

// Both return 0, or -1 when the counts do not fill the table exactly.
int BuildFseEncodeTable(FseEncodeTable& table, const int16_t counts[kFseSymbolCount]);
int BuildFseDecodeTable(FseDecodeTable& table, const int16_t counts[kFseSymbolCount]);

// Number of bits the encoder emits for `symbol` from `state` (16384..32767).
inline uint32_t FseEncodeBits(const FseEncodeTable& table, uint32_t state, unsigned symbol) {
  return (state + table.symbols[symbol].deltaNbBits) >> 16;
}

// Starting state of an encoder whose first symbol is `symbol`.
inline uint32_t FseInitialState(const FseEncodeTable& table, unsigned symbol) {
  const FseSymbolTransform& t = table.symbols[symbol];
  const uint32_t nb = (t.deltaNbBits + 32768) >> 16;
  const uint32_t slot = (((nb << 16) - t.deltaNbBits) >> nb) + t.deltaFindState;
  return table.stateTable[slot];
}

// State after encoding `symbol` with `nb` bits already taken from `state`.
inline uint32_t FseNextState(const FseEncodeTable& table, uint32_t state, unsigned symbol,
                             uint32_t nb) {
  return table.stateTable[(state >> nb) + table.symbols[symbol].deltaFindState];
}
