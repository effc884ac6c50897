#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "chia/block_index.h"
#include "chia/delta_coding_table.h"
#include "chia/fse_tables.h"
#include "chia/park_decoder.h"
#include "chia/park_encoder.h"
#include "chia/park_format.h"
#include "runtime/memory_arena.h"
#include "tests/support/fault_arena.h"
#include "tests/support/hex.h"
#include "tests/support/thrown_text.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Parks = std::vector<Bytes>;

constexpr uint64_t kTwo63 = uint64_t{1} << 63;

struct Form {
  bool wide;
  bool position;
};
constexpr Form kPositionForm{false, true};  // tables 0 to 4
constexpr Form kWideForm{true, false};      // the last table

DeltaCodingTable TableFor(uint64_t gap) {
  DeltaCodingTable table{};
  BuildDeltaCodingTable(gap, table);
  return table;
}

ParkEncoder::Sink CollectInto(Parks& parks) {
  return [&parks](const uint8_t* park, uint64_t length) -> uint64_t {
    parks.emplace_back(park, park + length);
    return parks.size();
  };
}

// No block reserved: every piece comes from the heap.
MemoryArena& TestArena() {
  static MemoryArena arena([](const std::string& text) { ADD_FAILURE() << text; });
  return arena;
}

Parks EncodeAll(const DeltaCodingTable& table, Form form, const std::vector<uint64_t>& values,
                uint64_t parkLength = kParkBytes, uint64_t divisor = 0,
                BlockIndex* lookup = nullptr) {
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
  encoder->SetParkLength(parkLength);
  Parks parks;
  encoder->Begin(table, form.wide, form.position, divisor, CollectInto(parks));
  // Uneven chunks, as the batch queue hands them over.
  for (size_t i = 0; i < values.size();) {
    const size_t n = std::min<size_t>(values.size() - i, 1000 + i % 777);
    encoder->Append(values.data() + i, n);
    i += n;
  }
  encoder->Finish();
  EXPECT_FALSE(encoder->HasSink());
  EXPECT_EQ(encoder->ValuesEncoded(), values.size());
  EXPECT_EQ(encoder->ParkCount(), parks.size());
  if (lookup != nullptr) *lookup = encoder->Lookup();
  return parks;
}

// Decodes every park and checks that each position field counts the values of earlier parks.
std::vector<uint64_t> DecodeAll(const DeltaCodingTable& table, Form form, const Parks& parks,
                                std::vector<uint64_t>* counts = nullptr) {
  ParkDecoder decoder;
  decoder.Init(table, form.wide, form.position);
  std::vector<uint64_t> out(65536);
  std::vector<uint64_t> values;
  for (const Bytes& park : parks) {
    uint64_t position = ~uint64_t{0};
    auto [n, first] =
        decoder.Decode(park.data(), park.size(), out.data(), out.size(), position, false, false);
    EXPECT_EQ(first, out.data() + out.size() - n);
    if (form.position) {
      EXPECT_EQ(position, values.size() & 0xFFFFFFFF);
    }
    values.insert(values.end(), first, first + n);
    if (counts != nullptr) counts->push_back(n);
  }
  return values;
}

uint64_t PadOf(const Bytes& park) {
  if (park.back() != 255) return park.back();
  uint32_t pad;
  std::memcpy(&pad, park.data() + park.size() - 5, 4);
  return pad;
}

// Sorted values whose gaps are exponential with the given mean.
std::vector<uint64_t> ExponentialValues(size_t count, double meanGap, uint64_t seed,
                                        uint64_t start = 0) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> gap(1.0 / meanGap);
  std::vector<uint64_t> values(count);
  uint64_t v = start;
  for (uint64_t& x : values) {
    v += static_cast<uint64_t>(gap(rng));
    x = v;
  }
  return values;
}

TEST(ParkEncoder, SingleValueParksAreExactBytes) {
  const DeltaCodingTable table = TableFor(16);

  Parks parks = EncodeAll(table, kWideForm, {5}, 9);
  ASSERT_EQ(parks.size(), 1u);
  EXPECT_EQ(parks[0], (Bytes{0x05, 0, 0, 0, 0, 0, 0, 0, 0x00}));

  // Value 5 at position 3: anchor in bits 0-62, position in bits 63-94, pad 1.
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
  encoder->SetParkLength(13);
  parks.clear();
  encoder->Begin(table, false, true, 0, CollectInto(parks));
  const uint64_t three[3] = {1, 2, 3};  // each 13-byte park has room for one value only
  encoder->Append(three, 3);
  EXPECT_EQ(encoder->EncodePark(), 1u);
  EXPECT_EQ(encoder->EncodePark(), 2u);
  const uint64_t five = 5;
  encoder->Append(&five, 1);
  encoder->Append(&five, 1);
  EXPECT_EQ(encoder->EncodePark(), 3u);
  EXPECT_EQ(encoder->EncodePark(), 4u);
  ASSERT_EQ(parks.size(), 4u);
  EXPECT_EQ(parks[3], (Bytes{0x05, 0, 0, 0, 0, 0, 0, 0x80, 0x01, 0, 0, 0, 0x01}));

  ParkDecoder decoder;
  decoder.Init(table, false, true);
  uint64_t out[4] = {};
  uint64_t position = 0;
  auto [n, first] = decoder.Decode(parks[3].data(), 13, out, 4, position, false, false);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(first, &out[3]);
  EXPECT_EQ(out[3], 5u);
  EXPECT_EQ(position, 3u);

  // A pad beyond 254 bits: the trailer byte 255 and the pad as a u32 before it.
  parks = EncodeAll(table, kWideForm, {0x1122334455667788}, 64);
  ASSERT_EQ(parks.size(), 1u);
  Bytes expected(64, 0);
  const uint64_t anchor = 0x1122334455667788;
  std::memcpy(expected.data(), &anchor, 8);
  const uint32_t pad = 64 * 8 - 72;
  std::memcpy(expected.data() + 59, &pad, 4);
  expected[63] = 255;
  EXPECT_EQ(parks[0], expected);
  EXPECT_EQ(DecodeAll(table, kWideForm, parks), std::vector<uint64_t>{anchor});
}

// A park built bit by bit: fields appended least significant bit first, bit i of the stream in
// bit i % 8 of byte i / 8, zeros up to the trailer byte that holds the pad.
class ParkBits {
 public:
  void Put(uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) bits_.push_back((value >> i) & 1);
  }
  Bytes Park(uint64_t length) const {
    Bytes park(length, 0);
    for (size_t i = 0; i < bits_.size(); ++i)
      park[i / 8] |= static_cast<uint8_t>(bits_[i] << (i % 8));
    const uint64_t pad = length * 8 - 8 - bits_.size();
    EXPECT_LE(pad, 254u);
    park[length - 1] = static_cast<uint8_t>(pad);
    return park;
  }

 private:
  std::vector<bool> bits_;
};

TEST(ParkCodec, MultiValueParksMatchTheLayoutBuiltByHand) {
  // 16 raw bits; deltas with high parts 300 (escaped, and the first: its low 8 bits pick the
  // starting state), 3, exactly 255 (escaped) and 0.
  const DeltaCodingTable table = TableFor(uint64_t{1} << 20);
  const unsigned r = table.rawBits;
  ASSERT_EQ(r, 16u);
  const uint64_t deltas[4] = {(uint64_t{300} << r) | 0xBEEF, (uint64_t{3} << r) | 0x0102,
                              (uint64_t{255} << r) | 0xFFFF, 0x7};
  FseEncodeTable fse;
  ASSERT_EQ(BuildFseEncodeTable(fse, table.counts), 0);

  for (Form form : {kPositionForm, kWideForm}) {
    SCOPED_TRACE(form.wide);
    // The wide anchor uses its top bit.
    std::vector<uint64_t> values = {(form.wide ? kTwo63 : 0) + (uint64_t{1} << 40)};
    for (uint64_t d : deltas) values.push_back(values.back() + d);

    ParkBits bits;
    uint32_t state = FseInitialState(fse, (deltas[0] >> r) & 255);
    for (uint64_t d : deltas) {
      const uint64_t high = d >> r;
      const unsigned symbol = high < 255 ? static_cast<unsigned>(high) : 255;
      const uint32_t nb = FseEncodeBits(fse, state, symbol);
      if (symbol == 255) bits.Put(high, 64 - r);  // the escape's high part comes first
      bits.Put(((state & ((1u << nb) - 1)) << r) | (d & 0xFFFF), nb + r);
      state = FseNextState(fse, state, symbol, nb);
    }
    bits.Put(state & 16383, 14);
    bits.Put(values.back(), form.wide ? 64 : 63);
    if (form.position) bits.Put(1, 32);  // one value went into an earlier park
    const Bytes expected = bits.Park(64);

    ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
    encoder->SetParkLength(64);
    Parks parks;
    encoder->Begin(table, form.wide, form.position, 0, CollectInto(parks));
    const uint64_t before = 5;
    encoder->Append(&before, 1);
    encoder->EncodePark();
    encoder->Append(values.data(), values.size());
    encoder->EncodePark();
    ASSERT_EQ(parks.size(), 2u);
    EXPECT_EQ(parks[1], expected);

    ParkDecoder decoder;
    decoder.Init(table, form.wide, form.position);
    std::vector<uint64_t> out(8);
    uint64_t position = 0;
    auto [n, first] = decoder.Decode(expected.data(), expected.size(), out.data(), out.size(),
                                     position, false, false);
    EXPECT_EQ(position, form.position ? 1u : 0u);
    EXPECT_EQ(std::vector<uint64_t>(first, first + n), values);
  }
}

TEST(ParkCodec, ParkWhoseOnlyFieldHasNoBitsDecodesTwoValues) {
  // A writer that starts from the usual state leaves no bits for a zero delta of a dominant
  // symbol: state, anchor and position alone then stand for two equal values.
  const DeltaCodingTable table = TableFor(1);
  FseDecodeTable decode;
  ASSERT_EQ(BuildFseDecodeTable(decode, table.counts), 0);
  uint32_t state = 0;
  while (decode.entries[state].symbol != 0 || decode.entries[state].nbBits != 0) ++state;
  ParkBits bits;
  bits.Put(state, 14);
  bits.Put(777, 63);
  bits.Put(42, 32);
  const Bytes park = bits.Park(16);

  ParkDecoder decoder;
  decoder.Init(table, false, true);
  std::vector<uint64_t> out(4);
  uint64_t position = 0;
  auto [n, first] =
      decoder.Decode(park.data(), park.size(), out.data(), out.size(), position, false, false);
  EXPECT_EQ(position, 42u);
  EXPECT_EQ(std::vector<uint64_t>(first, first + n), (std::vector<uint64_t>{777, 777}));
}

TEST(ParkCodec, RoundTripsOverGapDistributions) {
  struct Case {
    const char* name;
    uint64_t gap;
    Form form;
    std::vector<uint64_t> values;
  };
  std::vector<Case> cases;
  cases.push_back({"k32 line points", uint64_t{1} << 31, kPositionForm,
                   ExponentialValues(200000, 2147483648.0, 1)});
  cases.push_back({"last table", uint64_t{1} << 26, kWideForm,
                   ExponentialValues(150000, 67108864.0, 2, uint64_t{1} << 62)});
  cases.push_back({"no raw bits", 16, kPositionForm, ExponentialValues(100000, 16.0, 3)});

  // Escapes: high parts of exactly 255, just below, huge, and a delta of 2^63 with r = 0.
  std::vector<uint64_t> escapes = ExponentialValues(5000, 16.0, 4);
  for (uint64_t d : {uint64_t{255}, uint64_t{254}, uint64_t{256}, uint64_t{1} << 40, uint64_t{255},
                     kTwo63, uint64_t{0}, uint64_t{1}}) {
    escapes.push_back(escapes.back() + d);
  }
  for (uint64_t v : ExponentialValues(5000, 16.0, 5)) escapes.push_back(escapes.back() + v % 300);
  cases.push_back({"escapes r=0", 16, kWideForm, escapes});

  std::vector<uint64_t> rawEscapes = ExponentialValues(3000, 1048576.0, 6);
  for (uint64_t h : {uint64_t{255}, uint64_t{254}, uint64_t{300}, uint64_t{1} << 46}) {
    rawEscapes.push_back(rawEscapes.back() + (h << 16) + 12345);
  }
  cases.push_back({"escapes r=16", uint64_t{1} << 20, kPositionForm, rawEscapes});

  // Runs of equal values.
  std::vector<uint64_t> runs;
  for (uint64_t v = 0; runs.size() < 70000; v += 3) runs.insert(runs.end(), 1 + v % 7, v);
  cases.push_back({"equal runs", 1, kPositionForm, runs});

  // The largest anchor the narrow form holds.
  std::vector<uint64_t> top = ExponentialValues(30000, 4096.0, 7);
  const uint64_t shift = (kTwo63 - 1) - top.back();
  for (uint64_t& v : top) v += shift;
  cases.push_back({"63-bit limit", 4096, kPositionForm, top});

  cases.push_back({"one value", 1000, kPositionForm, {123456789}});
  cases.push_back({"one value wide", 1000, kWideForm, {~uint64_t{0}}});
  cases.push_back({"zeros", 1000, kPositionForm, std::vector<uint64_t>(10, 0)});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DeltaCodingTable table = TableFor(c.gap);
    const Parks parks = EncodeAll(table, c.form, c.values);
    for (const Bytes& park : parks) ASSERT_EQ(park.size(), kParkBytes);
    std::vector<uint64_t> counts;
    EXPECT_EQ(DecodeAll(table, c.form, parks, &counts), c.values);
    // Every park but the last takes a full buffer or is filled until the next field no longer
    // fits.
    for (size_t i = 0; i + 1 < parks.size(); ++i) {
      EXPECT_TRUE(counts[i] == ParkEncoder::kValueCapacity || PadOf(parks[i]) < 14u + 64u);
    }
  }
}

TEST(ParkCodec, LeadingZeroBitFieldsKeepTheirValues) {
  // With a mean gap of 1 the zero delta holds over half of the slots, so from the usual starting
  // state its field has no bits at all; the park must still give back its first values.
  const DeltaCodingTable table = TableFor(1);
  ASSERT_EQ(table.rawBits, 0);
  ASSERT_GT(table.counts[0], 8192);
  for (const std::vector<uint64_t>& values :
       {std::vector<uint64_t>{4, 4}, std::vector<uint64_t>{4, 4, 4, 5},
        std::vector<uint64_t>{0, 0, 0, 0, 1, 1, 3}}) {
    for (Form form : {kPositionForm, kWideForm}) {
      EXPECT_EQ(DecodeAll(table, form, EncodeAll(table, form, values)), values);
    }
  }

  // Zero-bit fields wherever the field area ends, at every alignment of its length.
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
  encoder->SetParkLength(512);
  std::mt19937_64 rng(5);
  for (size_t n = 2; n < 400; ++n) {
    std::vector<uint64_t> values(n);
    uint64_t v = 9;
    for (uint64_t& x : values) x = v += (rng() % 4 == 0);
    Parks parks;
    encoder->Begin(table, false, true, 0, CollectInto(parks));
    encoder->Append(values.data(), values.size());
    encoder->Finish();
    ASSERT_EQ(DecodeAll(table, kPositionForm, parks), values) << n;
  }
}

TEST(ParkEncoder, RefusesBadInputAndStates) {
  const DeltaCodingTable table = TableFor(1000);
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
  Parks parks;
  auto sink = CollectInto(parks);

  EXPECT_EQ(ThrownText([&] { encoder->EncodePark(); }), "72ABC8E5");
  EXPECT_EQ(ThrownText([&] { encoder->Finish(); }), "4AC8E7C6");
  EXPECT_EQ(ThrownText([&] { encoder->SaveState([](const void*, uint64_t) {}); }), "86E2ACC3");
  EXPECT_EQ(ThrownText([&] { encoder->SetParkLength(kParkBytes + 1); }), "77672E4F");

  DeltaCodingTable wideRaw = table;
  wideRaw.rawBits = 51;
  EXPECT_EQ(ThrownText([&] { encoder->Begin(wideRaw, false, true, 0, sink); }), "AB009251");
  EXPECT_FALSE(encoder->HasSink());
  DeltaCodingTable broken = table;
  broken.counts[3] += 1;
  EXPECT_EQ(ThrownText([&] { encoder->Begin(broken, false, true, 0, sink); }), "237AC718");
  DeltaCodingTable uncodable{};  // every slot to symbol 0: other deltas could not be coded
  uncodable.counts[0] = 16384;
  EXPECT_EQ(ThrownText([&] { encoder->Begin(uncodable, false, true, 0, sink); }), "237AC718");
  // A refused start after a finished table leaves nothing to encode with the old coder.
  encoder->Begin(table, false, true, 0, sink);
  encoder->Finish();
  EXPECT_EQ(ThrownText([&] { encoder->Begin(wideRaw, false, true, 0, sink); }), "AB009251");
  const uint64_t one = 1;
  encoder->Append(&one, 1);
  EXPECT_EQ(ThrownText([&] { encoder->EncodePark(); }), "72ABC8E5");

  encoder->Begin(table, false, true, 0, sink);
  EXPECT_EQ(ThrownText([&] { encoder->Begin(table, false, true, 0, sink); }), "40EBB253");
  EXPECT_EQ(ThrownText([&] { encoder->EncodePark(); }), "90300170");
  const uint64_t decreasing[3] = {10, 20, 19};
  encoder->Append(decreasing, 3);
  EXPECT_EQ(ThrownText([&] { encoder->EncodePark(); }), "D7ABA722");
  EXPECT_EQ(encoder->BufferedCount(), 3u);  // the buffer is left as it was
  EXPECT_EQ(parks.size(), 0u);
  encoder->ClearSink();

  // 2^63 does not fit the narrow anchor; parks shorter than one value's form are refused first.
  struct Refused {
    uint64_t length;
    Form form;
    const char* code;
  };
  const uint64_t tooLarge = kTwo63;
  for (Refused c : {Refused{kParkBytes, kPositionForm, "94BBF23F"},
                    Refused{12, kPositionForm, "2AECE631"}, Refused{8, kWideForm, "2AECE631"}}) {
    encoder->SetParkLength(c.length);
    encoder->Begin(table, c.form.wide, c.form.position, 0, sink);
    encoder->Append(&tooLarge, 1);
    EXPECT_EQ(ThrownText([&] { encoder->EncodePark(); }), c.code) << c.length;
    encoder->ClearSink();
  }
}

TEST(ParkEncoder, IndexCapacityAndLookupGuards) {
  const DeltaCodingTable table = TableFor(1000);
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
  uint64_t parkCount = 0;
  auto count = [&parkCount](const uint8_t*, uint64_t) -> uint64_t { return ++parkCount; };

  // 9-byte parks hold one value each, so every value past a full buffer makes a park.
  encoder->SetParkLength(9);
  encoder->Begin(table, true, false, 0, count);
  std::vector<uint64_t> values(ParkEncoder::kIndexCapacity + ParkEncoder::kValueCapacity);
  for (size_t i = 0; i < values.size(); ++i) values[i] = i;
  EXPECT_EQ(ThrownText([&] { encoder->Append(values.data(), values.size()); }), "A6E29F14");
  EXPECT_EQ(parkCount, ParkEncoder::kIndexCapacity);
  encoder->ClearSink();

  // Two parks whose largest key (position 1) does not exceed the park count: no scale exists.
  encoder->Begin(table, true, false, 0, count);
  encoder->Append(values.data(), 2);
  EXPECT_EQ(ThrownText([&] { encoder->Finish(); }), "0B0848E2");
  encoder->ClearSink();

  // Keys by value with every value 0: the largest key is 0.
  const uint64_t zeros[2] = {0, 0};
  encoder->Begin(table, true, false, 1000, count);
  encoder->Append(zeros, 2);
  EXPECT_EQ(ThrownText([&] { encoder->Finish(); }), "0B0848E2");
  encoder->ClearSink();

  // 40,000 parks whose keys all guess park 0 but one: the correction does not fit 16 bits.
  encoder->Begin(table, true, false, 1, count);
  std::vector<uint64_t> clustered(40000, 1000);
  clustered.back() = uint64_t{1} << 40;
  encoder->Append(clustered.data(), clustered.size());
  EXPECT_EQ(ThrownText([&] { encoder->Finish(); }), "325FA14B");
  encoder->ClearSink();

  // One park: no index at all.
  encoder->SetParkLength(kParkBytes);
  encoder->Begin(table, false, true, 0, count);
  encoder->Append(values.data(), 1000);
  encoder->Finish();
  EXPECT_EQ(encoder->ParkCount(), 1u);
  EXPECT_EQ(encoder->Lookup().scale, 0u);
  for (const BlockIndexPair& pair : encoder->Lookup().pairs) {
    EXPECT_EQ(pair.low, 0);
    EXPECT_EQ(pair.high, 0);
  }
}

// Every stored key must lie in one of the parks the lookup names for it.
void ExpectIndexFindsEveryValue(const std::vector<uint64_t>& values, const Parks& parks,
                                const BlockIndex& lookup, const DeltaCodingTable& table, Form form,
                                uint64_t divisor) {
  ParkDecoder decoder;
  decoder.Init(table, form.wide, form.position);
  std::vector<uint64_t> out(65536);
  uint64_t position = 0;
  uint64_t misses = 0;
  uint64_t widest = 0;
  for (uint64_t j = 0; j < parks.size(); ++j) {
    uint64_t unused;
    auto [n, first] = decoder.Decode(parks[j].data(), parks[j].size(), out.data(), out.size(),
                                     unused, false, false);
    for (uint64_t i = 0; i < n; ++i, ++position) {
      ASSERT_EQ(first[i], values[position]);
      const uint64_t key = divisor == 0 ? position : first[i] / divisor;
      const ParkRange range = FindParkRange(lookup, parks.size(), key);
      misses += j < range.first || j >= range.end;
      widest = std::max(widest, range.end - range.first);
    }
  }
  EXPECT_EQ(position, values.size());
  EXPECT_EQ(misses, 0u);
  EXPECT_LE(widest, 8u);  // the corrections keep the search short for even data
}

TEST(ParkEncoder, BlockIndexLocatesEveryValue) {
  // 1 KiB parks give hundreds of parks from a small table.
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  for (size_t count : {size_t{2000}, size_t{30000}, size_t{120000}}) {
    SCOPED_TRACE(count);
    const std::vector<uint64_t> values = ExponentialValues(count, 2147483648.0, count);
    BlockIndex lookup;
    Parks parks = EncodeAll(table, kPositionForm, values, 1024, 0, &lookup);
    ASSERT_GE(parks.size(), 2u);
    EXPECT_NE(lookup.scale, 0u);
    ExpectIndexFindsEveryValue(values, parks, lookup, table, kPositionForm, 0);
    // Every pair is one a plot reader accepts: untouched (only while some bucket has no park's
    // guess, that is below 256 parks), or ordered and at most 1024 apart.
    uint64_t untouched = 0;
    for (const BlockIndexPair& pair : lookup.pairs) {
      if (IsUntouchedPair(pair)) {
        ++untouched;
        continue;
      }
      EXPECT_LE(pair.low, pair.high);
      EXPECT_LE(pair.high - pair.low, 1024);
    }
    EXPECT_EQ(untouched == 0, parks.size() >= 256) << parks.size() << " parks";

    const uint64_t divisor = 77777;
    parks = EncodeAll(table, kWideForm, values, 1024, divisor, &lookup);
    ExpectIndexFindsEveryValue(values, parks, lookup, table, kWideForm, divisor);
  }
}

struct Record {
  Bytes bytes;
  size_t offset = 0;
  std::vector<uint64_t> chunkSizes;
  ParkEncoder::ChunkWriter Writer() {
    return [this](const void* data, uint64_t length) {
      const uint8_t* p = static_cast<const uint8_t*>(data);
      bytes.insert(bytes.end(), p, p + length);
      chunkSizes.push_back(length);
    };
  }
  ParkEncoder::ChunkReader Reader() {
    return [this](void* data, uint64_t length) {
      if (offset + length > bytes.size()) throw std::runtime_error("record cut short");
      std::memcpy(data, bytes.data() + offset, length);
      offset += length;
    };
  }
};

TEST(ParkEncoder, ResumeGivesIdenticalParks) {
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  const std::vector<uint64_t> values = ExponentialValues(180000, 2147483648.0, 11);
  BlockIndex expectedLookup;
  const Parks expected = EncodeAll(table, kPositionForm, values, kParkBytes, 0, &expectedLookup);
  ASSERT_GE(expected.size(), 8u);

  const std::vector<size_t> stops = {0, 1, 65535, 65536, 65537, 100003, 131072, 179999};
  Parks parks;
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());
  encoder->Begin(table, false, true, 0, CollectInto(parks));
  size_t done = 0;
  for (size_t stop : stops) {
    encoder->Append(values.data() + done, stop - done);
    done = stop;
    Record record;
    const uint64_t buffered = encoder->BufferedCount();
    const uint64_t entries = encoder->IndexEntryCount();
    encoder->SaveState(record.Writer());
    EXPECT_FALSE(encoder->HasSink());
    // The record: fixed fields, the index entries and the buffered values, in that order.
    ASSERT_EQ(record.bytes.size(), 40 + 16 * entries + 8 * buffered);
    uint64_t field;
    std::memcpy(&field, record.bytes.data(), 8);
    EXPECT_EQ(field, encoder->ValuesEncoded());
    std::memcpy(&field, record.bytes.data() + 32 + 16 * entries, 8);
    EXPECT_EQ(field, buffered);
    EXPECT_EQ(record.chunkSizes.size(), 8u - (entries == 0) - (buffered == 0));
    if (buffered > 0) {
      std::memcpy(&field, record.bytes.data() + 40 + 16 * entries, 8);
      EXPECT_EQ(field, values[stop - buffered]);
    }

    // Resume in a fresh encoder, as a restarted process would.
    encoder = CreateParkEncoder(TestArena(), TestArena());
    encoder->LoadState(table, false, true, 0, CollectInto(parks), record.Reader());
    EXPECT_EQ(record.offset, record.bytes.size());
  }
  encoder->Append(values.data() + done, values.size() - done);
  encoder->Finish();
  ASSERT_EQ(parks.size(), expected.size());
  for (size_t i = 0; i < parks.size(); ++i) EXPECT_EQ(parks[i], expected[i]) << "park " << i;
  EXPECT_EQ(std::memcmp(&encoder->Lookup(), &expectedLookup, sizeof(BlockIndex)), 0);
}

TEST(ParkEncoder, LoadStateRefusesBadRecords) {
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  Parks parks;
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(TestArena(), TestArena());

  auto recordWith = [](uint64_t parks, uint64_t entries, uint64_t buffered) {
    Record r;
    auto put = [&r](uint64_t v, size_t width) {
      for (size_t i = 0; i < width; ++i) r.bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(0, 8);
    put(0, 8);
    put(parks, 4);
    put(parks, 4);
    put(entries, 8);
    r.bytes.resize(r.bytes.size() + 16 * std::min<uint64_t>(entries, 4));
    put(buffered, 8);
    r.bytes.resize(r.bytes.size() + 8 * std::min<uint64_t>(buffered, 4));
    return r;
  };
  // Too many index entries, entries that do not match the park count, a full value buffer.
  const std::pair<Record, const char*> refused[] = {
      {recordWith(0, ParkEncoder::kIndexCapacity + 1, 0), "A41D4EF5"},
      {recordWith(3, 2, 0), "A41D4EF5"},
      {recordWith(1, 1, ParkEncoder::kValueCapacity), "84C57EB4"}};
  for (auto [record, code] : refused) {
    EXPECT_EQ(ThrownText([&, &record = record] {
                encoder->LoadState(table, false, true, 0, CollectInto(parks), record.Reader());
              }),
              code);
  }
  EXPECT_FALSE(encoder->HasSink());
  EXPECT_EQ(ThrownText([&] { encoder->EncodePark(); }), "72ABC8E5");
  EXPECT_THROW(encoder->LoadState(table, false, true, 0, CollectInto(parks), nullptr),
               std::bad_function_call);

  Record good = recordWith(1, 1, 2);
  encoder->LoadState(table, false, true, 0, CollectInto(parks), good.Reader());
  EXPECT_EQ(ThrownText([&] {
              encoder->LoadState(table, false, true, 0, CollectInto(parks), good.Reader());
            }),
            "A9ECDD9B");
}

TEST(ParkEncoder, CreationReleasesEverythingOnFailure) {
  // The object, then its park buffer, value buffer and zeroed index.
  const auto thrown = SweepAllocationFailures([](FaultArena& arena) {
    ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(arena, arena);
    EXPECT_EQ(arena.outstanding, 4);
    EXPECT_EQ(encoder->IndexEntries()[ParkEncoder::kIndexCapacity - 1].last, 0u);
  });
  EXPECT_EQ(thrown, std::vector<std::string>(4, "std::bad_alloc"));
}

TEST(ParkDecoder, RefusesBadCallsAndTables) {
  const DeltaCodingTable table = TableFor(1000);
  const Parks parks = EncodeAll(table, kPositionForm, ExponentialValues(3000, 1000.0, 21));
  ASSERT_EQ(parks.size(), 1u);
  const Bytes& park = parks[0];
  std::vector<uint64_t> out(65536);
  uint64_t position = 0;

  ParkDecoder decoder;
  EXPECT_EQ(ThrownText([&] {
              decoder.Decode(park.data(), park.size(), out.data(), out.size(), position, false,
                             false);
            }),
            "48E14D5C");
  DeltaCodingTable bad = table;
  bad.rawBits = 51;
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { decoder.Init(bad, false, true); }), "");
  EXPECT_FALSE(decoder.Ready());
  bad = table;
  bad.counts[0] += 1;
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { decoder.Init(bad, false, true); }), "");
  EXPECT_EQ(ThrownText([&] {
              decoder.Decode(park.data(), park.size(), out.data(), out.size(), position, false,
                             false);
            }),
            "48E14D5C");
  bad = table;
  bad.rawBits = 50;
  decoder.Init(bad, false, true);
  EXPECT_TRUE(decoder.Ready());

  decoder.Init(table, false, true);
  auto decode = [&](const Bytes& p, uint64_t slots, bool positionOnly = false,
                    bool anchorOnly = false) {
    return decoder.Decode(p.data(), p.size(), out.data(), slots, position, positionOnly,
                          anchorOnly);
  };
  EXPECT_EQ(ThrownText([&] { decode(park, 0); }), "1B776DD0");
  EXPECT_EQ(ThrownText([&] { decode(Bytes(12, 0), 10); }), "4FF87540");
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { decode(park, 2999); }), "4DED0193");

  auto [n, first] = decode(park, 3000);
  EXPECT_EQ(n, 3000u);
  EXPECT_EQ(first, out.data());
  position = 99;
  auto positionOnly = decode(park, 3000, true);
  EXPECT_EQ(positionOnly.first, 0u);
  EXPECT_EQ(positionOnly.second, nullptr);
  EXPECT_EQ(position, 0u);
  auto anchorOnly = decode(park, 3000, false, true);
  EXPECT_EQ(anchorOnly.first, 1u);
  EXPECT_EQ(*anchorOnly.second, out[2999]);

  Bytes p = park;
  p.back() = 255;
  const uint32_t hugePad = 65536 * 8;
  std::memcpy(p.data() + p.size() - 5, &hugePad, 4);
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { decode(p, 3000); }), "84E73092");
  const uint32_t overPad = 65536 * 8 - 102;
  std::memcpy(p.data() + p.size() - 5, &overPad, 4);
  EXPECT_EQ(ThrownText<std::invalid_argument>([&] { decode(p, 3000); }), "405BAF72");
  // Pads that leave too few bits below the anchor: position and anchor still read, but the state
  // (5 bits left) or the first field (6 raw bits at least; 0 or 1 bit left) would start before the
  // park. The state's read is refused as a runtime error, a field's as an invalid argument.
  struct ShortPad {
    uint32_t left;
    const char* code;
  };
  for (ShortPad c : {ShortPad{5, "92C4226E"}, ShortPad{14, "8D8EC4C6"}, ShortPad{15, "92C4226E"}}) {
    SCOPED_TRACE(c.left);
    const uint32_t pad = 65536 * 8 - 103 - c.left;
    std::memcpy(p.data() + p.size() - 5, &pad, 4);
    position = 99;
    EXPECT_EQ(decode(p, 3000, true).first, 0u);
    EXPECT_NE(position, 99u);
    EXPECT_EQ(decode(p, 3000, false, true).first, 1u);
    if (c.left < 14) {
      EXPECT_EQ(ThrownText<std::runtime_error>([&] { decode(p, 3000); }), c.code);
    } else {
      EXPECT_EQ(ThrownText<std::invalid_argument>([&] { decode(p, 3000); }), c.code);
    }
  }

  // A table without the position field: position-only returns at once, reading nothing.
  ParkDecoder wide;
  wide.Init(table, true, false);
  position = 42;
  const Bytes junk(9, 0xFF);
  auto none = wide.Decode(junk.data(), junk.size(), out.data(), 10, position, true, false);
  EXPECT_EQ(none.first, 0u);
  EXPECT_EQ(none.second, nullptr);
  EXPECT_EQ(position, 42u);
}

bool IsCode(const std::string& text) {
  return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// Decodes a damaged park into an array fenced by guard values; it must refuse with a code or
// return ascending values, and never touch the fences.
void ExpectSafeDecode(const ParkDecoder& decoder, const Bytes& park, uint64_t slots,
                      uint64_t& refused) {
  constexpr uint64_t kFence = 0xFE11CE5AFE11CE5A;
  std::vector<uint64_t> out(slots + 16, kFence);
  uint64_t position = 0;
  // An exact-size heap copy lets the address sanitizer catch any read outside the park.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[park.size()]);
  std::memcpy(copy.get(), park.data(), park.size());
  try {
    auto [n, first] =
        decoder.Decode(copy.get(), park.size(), out.data() + 8, slots, position, false, false);
    ASSERT_GE(n, 1u);
    ASSERT_LE(n, slots);
    ASSERT_EQ(first, out.data() + 8 + slots - n);
    EXPECT_TRUE(std::is_sorted(first, first + n));
  } catch (const std::exception& e) {
    EXPECT_TRUE(IsCode(e.what())) << e.what();
    ++refused;
  }
  for (int i = 0; i < 8; ++i) {
    ASSERT_EQ(out[i], kFence);
    ASSERT_EQ(out[slots + 8 + i], kFence);
  }
}

TEST(ParkDecoder, CorruptParksAreRefusedSafely) {
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  const Parks parks = EncodeAll(table, kPositionForm, ExponentialValues(40000, 2147483648.0, 31));
  ParkDecoder decoder;
  decoder.Init(table, false, true);
  std::mt19937_64 rng(99);
  uint64_t refused = 0;
  uint64_t trials = 0;

  // Random bytes of random lengths, with random trailers.
  for (int i = 0; i < 300; ++i, ++trials) {
    Bytes p(13 + rng() % 3000);
    for (uint8_t& b : p) b = static_cast<uint8_t>(rng());
    if (i % 3 == 0) p.back() = static_cast<uint8_t>(rng() % 8);
    ExpectSafeDecode(decoder, p, 1 + rng() % 2000, refused);
  }
  // A real park cut short (trailer lost), or with single bits flipped.
  for (int i = 0; i < 300; ++i, ++trials) {
    Bytes p = parks[0];
    if (i % 2 == 0) {
      p.resize(13 + rng() % (p.size() - 13));
    } else {
      for (int f = 0; f < 1 + i % 3; ++f) p[rng() % p.size()] ^= uint8_t(1u << (rng() % 8));
    }
    ExpectSafeDecode(decoder, p, 65536, refused);
  }
  // Wrong counts: a slot array shorter than the park's values.
  for (uint64_t slots : {uint64_t{1}, uint64_t{2}, uint64_t{100}}) {
    ++trials;
    uint64_t before = refused;
    ExpectSafeDecode(decoder, parks[0], slots, refused);
    EXPECT_EQ(refused, before + 1);
  }
  EXPECT_GT(refused, trials / 2);
}

std::string Sha256Hex(const std::function<void(EVP_MD_CTX*)>& feed) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  feed(ctx);
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  return ToHex(digest, length);
}

// Freezes the stored format: coding table, parks and block index of one fixed table. The values
// come from the raw generator output only, which the standard fixes for every library.
TEST(ParkCodec, GoldenTableDigest) {
  std::mt19937_64 rng(20240601);
  std::vector<uint64_t> values(150000);
  uint64_t v = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    v += rng() >> 32;                    // mean gap 2^31
    if (i % 9973 == 0) v += rng() >> 4;  // an occasional escape
    values[i] = v;
  }
  const DeltaCodingTable table = TableFor(uint64_t{1} << 31);
  BlockIndex lookup;
  const Parks parks = EncodeAll(table, kPositionForm, values, kParkBytes, 0, &lookup);
  ASSERT_EQ(DecodeAll(table, kPositionForm, parks), values);
  const std::string digest = Sha256Hex([&](EVP_MD_CTX* ctx) {
    EVP_DigestUpdate(ctx, &table, sizeof(table));
    for (const Bytes& park : parks) EVP_DigestUpdate(ctx, park.data(), park.size());
    EVP_DigestUpdate(ctx, &lookup, sizeof(lookup));
  });
  EXPECT_EQ(parks.size(), 10u);
  EXPECT_EQ(digest, "f8d070464ea72fe9acd454609ad65bd90db00fa433efd387cd6cde1855d7ec0d");
}

}  // namespace
