#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "chia/delta_coding_table.h"
#include "chia/park_encoder.h"
#include "plotter/plot_file_owner.h"
#include "plotter/plot_header.h"
#include "runtime/memory_arena.h"
#include "tests/runtime/file_test_support.h"

// n choose k, exact while the result fits 64 bits.
inline uint64_t Choose(uint64_t n, uint64_t k) {
  unsigned __int128 r = 1;
  for (uint64_t i = 0; i < k; ++i) r = r * (n - i) / (i + 1);
  return static_cast<uint64_t>(r);
}

inline MemoryArena& HeapArena() {
  static MemoryArena arena([](const std::string&) {});
  return arena;
}

inline std::vector<uint8_t> Bytes(const void* data, uint64_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + length);
}

// The parks and record of one table, written with the real encoder.
struct EncodedTable {
  std::vector<uint64_t> values;
  std::vector<uint8_t> parks;
  PlotTableRecord record{};
};

// `divisor` 0 indexes the parks by position, otherwise by value / divisor.
inline EncodedTable EncodeTable(std::vector<uint64_t> values, uint64_t gap, bool last,
                                uint64_t divisor = 0) {
  EncodedTable table;
  table.values = std::move(values);
  BuildDeltaCodingTable(gap, table.record.coding);
  table.record.entryCount = table.values.size();
  if (table.values.empty()) return table;
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(HeapArena(), HeapArena());
  encoder->Begin(table.record.coding, last, !last, divisor,
                 [&table](const uint8_t* park, uint64_t length) -> uint64_t {
                   table.parks.insert(table.parks.end(), park, park + length);
                   return 0;
                 });
  encoder->Append(table.values.data(), table.values.size());
  encoder->Finish();
  table.record.blockCount = encoder->ParkCount();
  table.record.index = encoder->Lookup();
  return table;
}

// Sorted values with gaps spread around `gap`.
inline std::vector<uint64_t> SortedValues(uint64_t count, uint64_t gap, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<uint64_t> values(count);
  uint64_t value = random() % gap;
  for (uint64_t& v : values) {
    v = value;
    value += random() % (2 * gap);
  }
  return values;
}

// A complete plot: the header, then the tables from offset 12288 (table 5 first), then the
// completion marker.
struct TestPlot {
  PlotHeader header{};
  std::vector<EncodedTable> tables;
  std::vector<uint8_t> data;  // everything after the header's 12288-byte area

  // A plot whose tables hold `counts[t]` values each (table 0 with `gap0`).
  static TestPlot Make(const std::vector<uint64_t>& counts, uint64_t gap0 = uint64_t{1} << 20) {
    std::vector<EncodedTable> tables(kPlotTableCount);
    for (int t = 5; t >= 0; --t) {
      const uint64_t gap = t == 0 ? gap0 : uint64_t{1} << 24;
      tables[t] = EncodeTable(SortedValues(counts[t], gap, 100 + t), gap, t == 5);
    }
    return FromTables(std::move(tables));
  }

  // A complete final plot of the six encoded tables, laid out from offset 12288, table 5 first.
  static TestPlot FromTables(std::vector<EncodedTable> tables) {
    TestPlot plot;
    PlotHeader& h = plot.header;
    h.start.magic = kPlotMagic;
    h.start.version = 1;
    h.sparse = 0;
    h.complete = 1;
    h.closed = 1;
    h.level = 2;
    h.creationTime = 1700000000;
    for (int i = 0; i < 32; ++i) h.plotId[i] = static_cast<uint8_t>(0xA0 + i);
    plot.tables = std::move(tables);
    uint64_t offset = kFinalPlotDataOffset;
    for (int t = 5; t >= 0; --t) {
      plot.tables[t].record.offset = offset;
      h.tables[t] = plot.tables[t].record;
      plot.data.insert(plot.data.end(), plot.tables[t].parks.begin(), plot.tables[t].parks.end());
      offset += plot.tables[t].parks.size();
    }
    h.start.markerOffset = offset;
    h.start.markerValue = 0x1122334455667788;
    return plot;
  }

  // The file: header, table data, marker, zeros to the next multiple of 4096.
  std::vector<uint8_t> FileBytes() const {
    const uint64_t marker = header.start.markerOffset;
    const uint64_t dataEnd = kFinalPlotDataOffset + data.size();
    std::vector<uint8_t> bytes(CompletePlotFileSize(std::max(marker, dataEnd)), 0);
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (!data.empty()) std::memcpy(bytes.data() + kFinalPlotDataOffset, data.data(), data.size());
    const uint64_t value = header.start.markerValue;
    std::memcpy(bytes.data() + marker, &value, 8);
    return bytes;
  }

  void Write(const std::filesystem::path& path) const { WriteWholeFile(path, FileBytes()); }
};

// An owner with `slots` read slots of full size.
struct TestOwner {
  explicit TestOwner(uint64_t slots = 2, uint64_t privateStreams = 0) {
    reads.resize(slots, std::vector<uint8_t>(32 * 65536));
    values.resize(slots, std::vector<uint64_t>(65536));
    owner.messageCallback = [this](const std::string& text) { messages.push_back(text); };
    owner.privateStreams = privateStreams;
    for (uint64_t i = 0; i < slots; ++i) {
      owner.slots.push_back(PlotReadSlot{reads[i].data(), values[i].data(), 65536, 0});
    }
  }
  TestOwner(const TestOwner&) = delete;

  PlotFileOwner owner;
  std::vector<std::string> messages;
  std::vector<std::vector<uint8_t>> reads;
  std::vector<std::vector<uint64_t>> values;
};
