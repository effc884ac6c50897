// The park encoder against a reference written straight from the park layout: one value at a
// time, one bit at a time, no buffers, no fast paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "chia/delta_coding_table.h"
#include "chia/fse_tables.h"
#include "chia/park_encoder.h"
#include "chia/park_format.h"
#include "runtime/memory_arena.h"
#include "tests/support/thrown_text.h"

namespace park_reference_test {

using Bytes = std::vector<uint8_t>;

struct Coded {
  std::vector<Bytes> parks;
  std::vector<ParkEncoder::IndexEntry> index;
  uint64_t valuesEncoded = 0;
};

// What the inputs made the reference do, so that each case shows it reached what it is for.
struct Reached {
  uint64_t escapes = 0;
  uint64_t zeroBitFirstFields = 0;  // r = 0 parks whose first field started from the top state
  uint64_t exactParks = 0;          // parks with no padding at all
  uint64_t oneValueParks = 0;
  uint64_t fullParks = 0;  // parks that took every value they were offered
};

class BitString {
 public:
  void Put(uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) bits_.push_back((value >> i) & 1);
  }
  size_t Size() const { return bits_.size(); }
  Bytes Park(uint64_t length, uint64_t pad) const {
    Bytes park(length, 0);
    for (size_t i = 0; i < bits_.size(); ++i) {
      park[i / 8] = static_cast<uint8_t>(park[i / 8] | (bits_[i] << (i % 8)));
    }
    if (pad <= 254) {
      park[length - 1] = static_cast<uint8_t>(pad);
    } else {
      park[length - 1] = 255;
      for (unsigned i = 0; i < 4; ++i) park[length - 5 + i] = static_cast<uint8_t>(pad >> (8 * i));
    }
    return park;
  }

 private:
  std::vector<bool> bits_;
};

uint64_t Low(uint64_t value, unsigned bits) {
  return bits >= 64 ? value : value & ((uint64_t{1} << bits) - 1);
}

// Each park is offered the next 65,536 values (fewer at the end) and takes the longest prefix
// whose fields fit.
Coded ReferenceEncode(const DeltaCodingTable& table, bool wide, bool position,
                      const std::vector<uint64_t>& values, uint64_t length, uint64_t divisor,
                      Reached& reached) {
  FseEncodeTable fse;
  if (BuildFseEncodeTable(fse, table.counts) != 0) throw std::runtime_error("bad test table");
  const unsigned r = table.rawBits;
  Coded coded;
  size_t first = 0;
  while (first < values.size()) {
    const size_t offered = std::min<size_t>(values.size() - first, ParkEncoder::kValueCapacity);
    BitString bits;
    int64_t budget = static_cast<int64_t>(length * 8) - (wide ? 64 : 63) - (position ? 32 : 0) - 8;
    size_t taken = 1;
    uint64_t previous = values[first];
    if (offered >= 2) {
      budget -= kParkStateBits;
      const uint64_t firstHigh = (values[first + 1] - previous) >> r;
      uint32_t state = FseInitialState(fse, firstHigh & 255);
      if (r == 0 && firstHigh < 255 && FseEncodeBits(fse, state, firstHigh) == 0) {
        state = 2 * kFseTableSize - 1;
        ++reached.zeroBitFirstFields;
      }
      for (; taken < offered; ++taken) {
        const uint64_t current = values[first + taken];
        if (current < previous) throw std::runtime_error("out of order");
        const uint64_t delta = current - previous;
        const uint64_t high = delta >> r;
        const bool escape = high >= 255;
        const unsigned symbol = escape ? 255 : static_cast<unsigned>(high);
        const uint32_t nb = FseEncodeBits(fse, state, symbol);
        const int64_t cost = nb + (escape ? 64 : r);
        if (budget < cost) break;
        if (escape) {
          bits.Put(high, 64 - r);
          ++reached.escapes;
        }
        bits.Put(Low(delta, r), r);
        bits.Put(Low(state, nb), nb);
        budget -= cost;
        state = FseNextState(fse, state, symbol, nb);
        previous = current;
      }
      if (taken >= 2) {
        bits.Put(Low(state, kParkStateBits), kParkStateBits);
      } else {
        budget += kParkStateBits;
      }
    }
    bits.Put(previous, wide ? 64 : 63);
    if (position) bits.Put(first & 0xFFFFFFFF, 32);
    EXPECT_EQ(bits.Size() + 8 + static_cast<uint64_t>(budget), length * 8);
    coded.parks.push_back(bits.Park(length, static_cast<uint64_t>(budget)));
    if (divisor != 0) {
      coded.index.push_back({values[first] / divisor, previous / divisor});
    } else {
      coded.index.push_back({first, first + taken - 1});
    }
    reached.exactParks += budget == 0;
    reached.oneValueParks += taken == 1;
    reached.fullParks += taken == offered;
    first += taken;
  }
  coded.valuesEncoded = first;
  return coded;
}

MemoryArena& Arena() {
  static MemoryArena arena([](const std::string& text) { ADD_FAILURE() << text; });
  return arena;
}

ParkEncoder::Sink Collect(std::vector<Bytes>& parks) {
  return [&parks](const uint8_t* park, uint64_t length) -> uint64_t {
    parks.emplace_back(park, park + length);
    return 0;
  };
}

// Appends in uneven pieces (so the encoder's buffer wraps at every offset) and, at each stop,
// saves the state and goes on in a fresh encoder, as a restarted process would.
Coded EncoderEncode(const DeltaCodingTable& table, bool wide, bool position,
                    const std::vector<uint64_t>& values, uint64_t length, uint64_t divisor,
                    const std::vector<size_t>& stops) {
  Coded coded;
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(Arena(), Arena());
  encoder->SetParkLength(length);
  encoder->Begin(table, wide, position, divisor, Collect(coded.parks));
  size_t done = 0;
  auto appendUpTo = [&](size_t end) {
    while (done < end) {
      const size_t n = std::min<size_t>(end - done, 1 + (done * 7919) % 3001);
      encoder->Append(values.data() + done, n);
      done += n;
    }
  };
  for (size_t stop : stops) {
    appendUpTo(stop);
    std::vector<uint8_t> record;
    encoder->SaveState([&record](const void* data, uint64_t n) {
      const uint8_t* p = static_cast<const uint8_t*>(data);
      record.insert(record.end(), p, p + n);
    });
    size_t offset = 0;
    encoder = CreateParkEncoder(Arena(), Arena());
    encoder->SetParkLength(length);
    encoder->LoadState(table, wide, position, divisor, Collect(coded.parks),
                       [&](void* data, uint64_t n) {
                         if (offset + n > record.size()) throw std::runtime_error("short record");
                         std::memcpy(data, record.data() + offset, n);
                         offset += n;
                       });
    EXPECT_EQ(offset, record.size());
  }
  appendUpTo(values.size());
  encoder->Finish();
  EXPECT_EQ(encoder->ParkCount(), coded.parks.size());
  EXPECT_EQ(encoder->IndexEntryCount(), coded.parks.size());
  const ParkEncoder::IndexEntry* entries = encoder->IndexEntries();
  coded.index.assign(entries, entries + encoder->IndexEntryCount());
  coded.valuesEncoded = encoder->ValuesEncoded();
  return coded;
}

DeltaCodingTable TableFor(uint64_t gap) {
  DeltaCodingTable table{};
  BuildDeltaCodingTable(gap, table);
  return table;
}

// Sorted values from `start` with exponential gaps of the given mean; every `jumpEvery`-th gap
// (0: none) is replaced, in turn, by one of `jumps`.
std::vector<uint64_t> Values(size_t count, double meanGap, uint64_t seed, uint64_t start = 0,
                             size_t jumpEvery = 0, const std::vector<uint64_t>& jumps = {}) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> gap(1.0 / meanGap);
  std::vector<uint64_t> values(count);
  uint64_t v = start;
  size_t jump = 0;
  for (size_t i = 0; i < count; ++i) {
    const bool jumpsHere = jumpEvery != 0 && i % jumpEvery == jumpEvery - 1;
    v += jumpsHere ? jumps[jump++ % jumps.size()] : static_cast<uint64_t>(gap(rng));
    values[i] = v;
  }
  return values;
}

struct Case {
  const char* name;
  uint64_t tableGap;
  bool wide;
  bool position;
  std::vector<uint64_t> lengths;
  uint64_t divisor;
  std::vector<uint64_t> values;
  std::vector<size_t> stops;
  Reached atLeast;  // every count the inputs must reach (summed over the lengths)
};

std::vector<Case> Cases() {
  const uint64_t g31 = uint64_t{1} << 31;
  const unsigned r31 = TableFor(g31).rawBits;
  const unsigned r12 = TableFor(4096).rawBits;
  // High parts of exactly 255 (the first escaped), 254 (the last not) and far beyond.
  const std::vector<uint64_t> bigJumps = {uint64_t{255} << r31, (uint64_t{255} << r31) - 1,
                                          uint64_t{1000} << r31, uint64_t{1} << 40,
                                          (uint64_t{254} << r31) | 12345};
  const std::vector<uint64_t> smallJumps = {uint64_t{255} << r12, uint64_t{70000} << r12,
                                            uint64_t{1} << 40};
  std::vector<Case> cases;
  cases.push_back({"full parks over the buffer's wrap",
                   g31,
                   false,
                   true,
                   {kParkBytes},
                   0,
                   Values(200000, 2147483648.0, 1),
                   {},
                   {.fullParks = 1}});
  cases.push_back({"saved and loaded in the middle",
                   g31,
                   false,
                   true,
                   {kParkBytes},
                   0,
                   Values(200000, 2147483648.0, 2),
                   {1, 777, 65536, 65537, 99999, 150001},
                   {}});
  cases.push_back({"escapes, wide anchors past 2^63",
                   g31,
                   true,
                   false,
                   {kParkBytes},
                   1000,
                   Values(90000, 2147483648.0, 3, uint64_t{1} << 63, 97, bigJumps),
                   {},
                   {.escapes = 500}});
  cases.push_back({"a delta of 2^63 and more",
                   1 << 20,
                   true,
                   false,
                   {kParkBytes, 64},
                   0,
                   Values(5000, 1048576.0, 4, 0, 1000, {uint64_t{1} << 63, 3, 5, 7, 9}),
                   {},
                   {.escapes = 2}});
  // A gap of 1: no raw bits and a zero delta holds most of the slots, so a zero field can take
  // no bits at all.
  cases.push_back({"r = 0 with zero-bit fields",
                   1,
                   false,
                   true,
                   {kParkBytes, 40, 16},
                   0,
                   Values(150000, 0.3, 5, 0, 997, {300, uint64_t{1} << 50, 255}),
                   {70000},
                   {.escapes = 200, .zeroBitFirstFields = 100, .fullParks = 1}});
  cases.push_back({"only zero deltas",
                   1,
                   true,
                   false,
                   {kParkBytes, 11, 12},
                   0,
                   std::vector<uint64_t>(140000, 77),
                   {},
                   {.fullParks = 3}});
  // Parks of one value only index by value: by position, the block index needs more positions
  // than parks.
  std::vector<uint64_t> shortLengths;
  for (uint64_t length = 13; length <= 80; ++length) shortLengths.push_back(length);
  shortLengths.push_back(257);
  shortLengths.push_back(1000);
  cases.push_back({"short parks, exact fits and one-value parks",
                   4096,
                   false,
                   true,
                   shortLengths,
                   1,
                   Values(20000, 4096.0, 6, 0, 53, smallJumps),
                   {5000},
                   {.escapes = 100, .exactParks = 50, .oneValueParks = 100}});
  cases.push_back({"short wide parks",
                   4096,
                   true,
                   false,
                   {9, 10, 16, 17, 23, 24, 25, 31, 100},
                   7,
                   Values(8000, 4096.0, 7, 0, 29, smallJumps),
                   {},
                   {.escapes = 50, .exactParks = 5, .oneValueParks = 50}});
  // More than 42 raw bits: a field no longer goes out in one piece.
  const uint64_t g48 = uint64_t{1} << 48;
  cases.push_back({"fields of more than 56 bits",
                   g48,
                   true,
                   false,
                   {kParkBytes, 30, 200},
                   0,
                   Values(30000, 281474976710656.0, 8, 0, 101, {uint64_t{300} << 44}),
                   {123},
                   {.escapes = 100}});
  return cases;
}

TEST(ParkEncoderReference, ParksMatchTheReferenceByteForByte) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const DeltaCodingTable table = TableFor(c.tableGap);
    Reached reached;
    for (uint64_t length : c.lengths) {
      SCOPED_TRACE("park length " + std::to_string(length));
      const Coded expected =
          ReferenceEncode(table, c.wide, c.position, c.values, length, c.divisor, reached);
      const Coded coded =
          EncoderEncode(table, c.wide, c.position, c.values, length, c.divisor, c.stops);
      EXPECT_EQ(coded.valuesEncoded, c.values.size());
      ASSERT_EQ(coded.parks.size(), expected.parks.size());
      for (size_t i = 0; i < coded.parks.size(); ++i) {
        ASSERT_EQ(coded.parks[i], expected.parks[i]) << "park " << i;
        EXPECT_EQ(coded.index[i].first, expected.index[i].first) << "park " << i;
        EXPECT_EQ(coded.index[i].last, expected.index[i].last) << "park " << i;
      }
    }
    EXPECT_GE(reached.escapes, c.atLeast.escapes);
    EXPECT_GE(reached.zeroBitFirstFields, c.atLeast.zeroBitFirstFields);
    EXPECT_GE(reached.exactParks, c.atLeast.exactParks);
    EXPECT_GE(reached.oneValueParks, c.atLeast.oneValueParks);
    EXPECT_GE(reached.fullParks, c.atLeast.fullParks);
  }
}

// A value below its predecessor is refused when the park reaches it, even as the value the park
// would have stopped at; one value further, the park ends first and goes out.
TEST(ParkEncoderReference, OutOfOrderValueIsRefusedWhereTheParkReachesIt) {
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  const std::vector<uint64_t> values = Values(70000, 2147483648.0, 9);
  Reached reached;
  const Coded reference = ReferenceEncode(table, false, true, values, kParkBytes, 0, reached);
  ASSERT_GE(reference.parks.size(), 2u);
  const size_t stop = reference.index[0].last + 1;  // the first value the first park left out

  struct Row {
    size_t bad;
    size_t parksBefore;
  };
  for (const Row& row :
       {Row{1, 0}, Row{stop - 1, 0}, Row{stop, 0}, Row{stop + 1, 1}, Row{stop + 2, 1}}) {
    SCOPED_TRACE("out of order at " + std::to_string(row.bad));
    std::vector<uint64_t> broken = values;
    broken[row.bad] = broken[row.bad - 1] - 1;
    std::vector<Bytes> parks;
    ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(Arena(), Arena());
    encoder->Begin(table, false, true, 0, Collect(parks));
    EXPECT_EQ(ThrownText([&] {
                encoder->Append(broken.data(), broken.size());
                encoder->Finish();
              }),
              "D7ABA722");
    ASSERT_EQ(parks.size(), row.parksBefore);
    if (row.parksBefore == 1) {
      EXPECT_EQ(parks[0], reference.parks[0]);
    }
    EXPECT_EQ(encoder->ValuesEncoded(), row.parksBefore == 1 ? stop : 0);
  }
}

// A drop so deep that the wrapped difference looks like a small delta is still refused.
TEST(ParkEncoderReference, DropThatWrapsToASmallDeltaIsRefused) {
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  const uint64_t top = ~uint64_t{0} - 1000;
  struct Row {
    std::vector<uint64_t> values;
    bool wide;
  };
  for (const Row& row : {Row{{top - 5, top, 3}, true}, Row{{top, 7}, true},
                         Row{{1, 2, (uint64_t{1} << 63) - 1, 40}, false}}) {
    std::vector<Bytes> parks;
    ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(Arena(), Arena());
    encoder->Begin(table, row.wide, !row.wide, 0, Collect(parks));
    encoder->Append(row.values.data(), row.values.size());
    EXPECT_EQ(ThrownText([&] { encoder->Finish(); }), "D7ABA722");
    EXPECT_TRUE(parks.empty());
  }
}

}  // namespace park_reference_test
