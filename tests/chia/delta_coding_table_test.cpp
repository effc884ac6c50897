#include "chia/delta_coding_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "chia/fse_tables.h"
#include "tests/support/thrown_text.h"

namespace {

std::string ErrorText(uint64_t gap) {
  DeltaCodingTable table{};
  return ThrownText<std::runtime_error>([&] { BuildDeltaCodingTable(gap, table); });
}

int64_t Slots(const DeltaCodingTable& table) {
  int64_t total = 0;
  for (int16_t c : table.counts) total += c == -1 ? 1 : c;
  return total;
}

TEST(DeltaCodingTable, RawBitsAndNormalisation) {
  EXPECT_EQ(ErrorText(0), "6D51514F");

  DeltaCodingTable table;
  std::memset(&table, 0xAB, sizeof(table));
  BuildDeltaCodingTable(16, table);
  EXPECT_EQ(table.rawBits, 0);  // round(4 + 0.25) = 4 keeps every bit in the coder
  for (uint8_t b : table.reserved) EXPECT_EQ(b, 0xAB);  // the builder leaves them alone

  BuildDeltaCodingTable(uint64_t{1} << 20, table);
  EXPECT_EQ(table.rawBits, 16);
  BuildDeltaCodingTable(uint64_t{1} << 31, table);  // line points of a k = 32 table
  EXPECT_EQ(table.rawBits, 27);
  BuildDeltaCodingTable(27, table);  // log2 27 = 4.75: rounds up to 5
  EXPECT_EQ(table.rawBits, 1);
  BuildDeltaCodingTable(26, table);  // 4.70 + 0.25 rounds to 5 as well
  EXPECT_EQ(table.rawBits, 1);
  BuildDeltaCodingTable(22, table);  // 4.46 + 0.25 rounds to 5
  EXPECT_EQ(table.rawBits, 1);
  BuildDeltaCodingTable(20, table);  // 4.32 + 0.25 rounds to 5
  EXPECT_EQ(table.rawBits, 1);
  BuildDeltaCodingTable(19, table);  // 4.248 + 0.25 rounds to 4
  EXPECT_EQ(table.rawBits, 0);

  // Every gap gives a complete distribution in which every symbol can be coded, the small
  // high parts being the likely ones.
  for (uint64_t gap :
       {uint64_t{1}, uint64_t{2}, uint64_t{3}, uint64_t{7}, uint64_t{16}, uint64_t{100},
        uint64_t{1000}, uint64_t{65537}, uint64_t{1} << 31, uint64_t{3} << 40, ~uint64_t{0}}) {
    SCOPED_TRACE(gap);
    BuildDeltaCodingTable(gap, table);
    EXPECT_EQ(Slots(table), 16384);
    for (int16_t c : table.counts) EXPECT_NE(c, 0);
    EXPECT_GT(table.counts[0], table.counts[40]);
    EXPECT_GT(table.counts[1], table.counts[40]);
  }

  // Oracle: symbol i stands for the high parts in [i, i + 1) of an exponential distribution
  // with mean m = gap / 2^r, so its share of the 16,384 slots is e^(-i/m) - e^(-(i+1)/m).
  for (uint64_t gap : {uint64_t{1}, uint64_t{5}, uint64_t{16}, uint64_t{1} << 31}) {
    SCOPED_TRACE(gap);
    BuildDeltaCodingTable(gap, table);
    const double mean = static_cast<double>(gap) / std::exp2(table.rawBits);
    for (int i = 1; i < 64; ++i) {
      const double share = std::exp(-i / mean) - std::exp(-(i + 1) / mean);
      const double expected = 16384 * share;
      if (expected < 20) continue;
      EXPECT_NEAR(table.counts[i], expected, 1 + expected / 100) << "symbol " << i;
    }
  }
}

TEST(FseTables, RefuseCountsThatDoNotFillTheTable) {
  int16_t counts[256] = {};
  counts[0] = 16383;
  FseEncodeTable encode;
  FseDecodeTable decode;
  EXPECT_EQ(BuildFseEncodeTable(encode, counts), -1);
  EXPECT_EQ(BuildFseDecodeTable(decode, counts), -1);
  counts[0] = 16385;
  EXPECT_EQ(BuildFseEncodeTable(encode, counts), -1);
  EXPECT_EQ(BuildFseDecodeTable(decode, counts), -1);
  counts[0] = 16386;
  counts[1] = -2;
  EXPECT_EQ(BuildFseDecodeTable(decode, counts), -1);
  counts[0] = 16383;
  counts[1] = -1;
  EXPECT_EQ(BuildFseEncodeTable(encode, counts), 0);
  EXPECT_EQ(BuildFseDecodeTable(decode, counts), 0);
  EXPECT_EQ(decode.entries[16383].symbol, 1);  // low-probability symbols sit at the top
}

// The decoding table must invert every encoding step: from the state reached by coding symbol s,
// the decoder must see s, read back exactly the bits the encoder emitted and return to the
// state the encoder left.
void ExpectTablesInvert(const int16_t counts[256]) {
  FseEncodeTable encode;
  FseDecodeTable decode;
  ASSERT_EQ(BuildFseEncodeTable(encode, counts), 0);
  ASSERT_EQ(BuildFseDecodeTable(decode, counts), 0);
  EXPECT_EQ(encode.tableLog, 14);
  EXPECT_EQ(encode.maxSymbol, 255);
  EXPECT_EQ(decode.tableLog, 14);

  int occurrences[256] = {};
  for (const FseDecodeEntry& e : decode.entries) ++occurrences[e.symbol];
  for (int s = 0; s < 256; ++s) {
    ASSERT_EQ(occurrences[s], counts[s] == -1 ? 1 : counts[s]) << "symbol " << s;
  }

  int mismatches = 0;
  for (unsigned s = 0; s < 256; ++s) {
    if (counts[s] == 0) continue;
    const uint32_t initial = FseInitialState(encode, s);
    EXPECT_EQ(decode.entries[initial - 16384].symbol, s);
    for (uint32_t state = 16384; state < 32768; ++state) {
      const uint32_t nb = FseEncodeBits(encode, state, s);
      const uint32_t next = FseNextState(encode, state, s, nb);
      const FseDecodeEntry& e = decode.entries[next - 16384];
      const uint32_t back = e.newStateBase + (state & ((1u << nb) - 1));
      mismatches +=
          next < 16384 || next >= 32768 || e.symbol != s || e.nbBits != nb || back != state - 16384;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FseTables, DecodingInvertsEncoding) {
  DeltaCodingTable table;
  BuildDeltaCodingTable(uint64_t{1} << 31, table);
  ExpectTablesInvert(table.counts);

  // A random table with zero, low-probability, single and dominant symbols.
  std::mt19937_64 rng(7);
  int16_t counts[256];
  int remaining = 16384;
  for (int s = 0; s < 256; ++s) {
    const int pick = static_cast<int>(rng() % 5);
    counts[s] = pick == 0 ? 0 : pick == 1 ? -1 : pick == 2 ? 1 : static_cast<int16_t>(rng() % 40);
    remaining -= counts[s] == -1 ? 1 : counts[s];
  }
  ASSERT_GT(remaining, 0);
  counts[17] = static_cast<int16_t>(counts[17] == -1 ? remaining + 1 : counts[17] + remaining);
  ExpectTablesInvert(counts);

  int16_t single[256] = {};
  single[200] = 16384;
  ExpectTablesInvert(single);
}

}  // namespace
