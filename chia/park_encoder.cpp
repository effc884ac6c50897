#include "chia/park_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "chia/park_format.h"
#include "chia/simd_level.h"

namespace {

constexpr uint64_t kValueMask = ParkEncoder::kValueCapacity - 1;
static_assert((ParkEncoder::kValueCapacity & kValueMask) == 0);

// Appends fields LSB-first; bit i of the stream is bit i % 64 of little-endian word i / 64.
// Every store stays within `room` bytes.
class BitWriter {
 public:
  BitWriter(uint8_t* out, uint64_t room) : out_(out), room_(room) {}
  // Goes on from a stream whose first `offset` bytes are written and whose next `fill` (< 64)
  // bits are in `acc`.
  BitWriter(uint8_t* out, uint64_t room, uint64_t offset, uint64_t acc, unsigned fill)
      : out_(out), room_(room), offset_(offset), acc_(acc), fill_(fill) {}

  // `value` must be below 2^width; width 0..64.
  void Put(uint64_t value, unsigned width) {
    acc_ |= value << fill_;
    const unsigned total = fill_ + width;
    if (total >= 64) {
      StoreWord(acc_);
      acc_ = fill_ == 0 ? 0 : value >> (64 - fill_);
      fill_ = total - 64;
    } else {
      fill_ = total;
    }
  }

  // Writes the partial last word; returns the stream's end in bytes.
  uint64_t Flush() {
    const uint64_t bytes = (fill_ + 7) / 8;
    if (offset_ + bytes > room_) throw std::runtime_error("297BA646");
    for (uint64_t i = 0; i < bytes; ++i) out_[offset_ + i] = static_cast<uint8_t>(acc_ >> (8 * i));
    return offset_ + bytes;
  }

 private:
  void StoreWord(uint64_t word) {
    if (offset_ + 8 > room_) throw std::runtime_error("DB5D2C99");
    std::memcpy(out_ + offset_, &word, 8);  // x86-64 is little-endian
    offset_ += 8;
  }

  uint8_t* out_;
  uint64_t room_;
  uint64_t offset_ = 0;
  uint64_t acc_ = 0;
  unsigned fill_ = 0;
};

// The same stream for the delta fields, without a branch on the word boundary: each field ends
// with an 8-byte store at the first byte not yet complete, so up to 7 bytes past the stream are
// written and later overwritten (by the next fields, or by the padding). The delta budget keeps
// the fields more than 8 bytes short of the park's end.
struct FieldWriter {
  uint8_t* out;
  uint64_t offset = 0;  // complete bytes
  uint64_t acc = 0;     // the `fill` (< 8) bits after them
  unsigned fill = 0;

  // `value` must be below 2^width; width 0..56.
  void Put(uint64_t value, unsigned width) {
    acc |= value << fill;
    fill += width;
    std::memcpy(out + offset, &acc, 8);  // x86-64 is little-endian
    offset += fill >> 3;
    acc >>= fill & 56;
    fill &= 7;
  }

  // width 0..64.
  void PutWide(uint64_t value, unsigned width) {
    if (width > 56) {
      Put(value & 0xFFFFFFFFu, 32);
      value >>= 32;
      width -= 32;
    }
    Put(value, width);
  }
};

inline uint64_t LowMask(unsigned bits) { return (uint64_t{1} << bits) - 1; }  // bits < 64

// Where the delta fields of a park stand.
struct FieldRun {
  uint64_t previous;
  uint32_t state;
  int64_t budget;  // bits left for the fields
  FieldWriter writer;
};

// A field of r raw bits and up to 14 state bits goes out in one piece up to this r.
constexpr unsigned kWholeFieldRawBits = 56 - 14;

// Codes the delta of `current`, the value after run.previous, when its field fits the budget;
// false when it does not.
template <bool SplitFields>
bool CodeField(const FseEncodeTable& fse, unsigned r, uint64_t current, FieldRun& run) {
  if (current < run.previous) throw std::runtime_error("D7ABA722");
  const uint64_t delta = current - run.previous;
  const uint64_t high = delta >> r;
  const uint64_t raw = delta & LowMask(r);
  uint32_t& state = run.state;
  if (high < kParkEscapeSymbol) {
    const uint32_t nb = FseEncodeBits(fse, state, static_cast<unsigned>(high));
    const unsigned width = nb + r;
    if (run.budget < static_cast<int64_t>(width)) return false;
    run.budget -= width;
    if constexpr (SplitFields) {
      run.writer.Put(raw, r);
      run.writer.Put(state & LowMask(nb), nb);
    } else {
      run.writer.Put(((state & LowMask(nb)) << r) | raw, width);
    }
    state = FseNextState(fse, state, static_cast<unsigned>(high), nb);
  } else {
    const uint32_t nb = FseEncodeBits(fse, state, kParkEscapeSymbol);
    if (run.budget < static_cast<int64_t>(nb + 64)) return false;
    run.budget -= nb + 64;
    run.writer.PutWide(high, 64 - r);
    run.writer.PutWide(((state & LowMask(nb)) << r) | raw, nb + r);
    state = FseNextState(fse, state, kParkEscapeSymbol, nb);
  }
  run.previous = current;
  return true;
}

// Codes the deltas of values[0..n) up to the first that is out of order, needs an escape or
// does not fit the budget; returns how many it coded. All the rest is CodeField's.
template <bool SplitFields>
[[gnu::always_inline]] inline uint64_t CodePlainFieldsBody(const FseEncodeTable& fse, unsigned r,
                                                           const uint64_t* values, uint64_t n,
                                                           FieldRun& run) {
  uint64_t previous = run.previous;
  uint32_t state = run.state;
  int64_t budget = run.budget;
  FieldWriter writer = run.writer;
  const uint64_t* p = values;
  const uint64_t* const end = values + n;
  for (; p != end; ++p) {
    const uint64_t current = *p;
    const uint64_t delta = current - previous;
    const uint64_t high = delta >> r;
    if (current < previous || high >= kParkEscapeSymbol) break;
    const FseSymbolTransform t = fse.symbols[high];
    // Kept opaque so that the compiler cannot fold the row back into the index: the row's
    // address does not wait for the state, which keeps an add off the state's chain.
    const uint16_t* row = fse.stateTable + t.deltaFindState;
    asm("" : "+r"(row));
    const uint32_t nb = (state + t.deltaNbBits) >> 16;
    const unsigned width = nb + r;
    if (budget < static_cast<int64_t>(width)) break;
    budget -= width;
    const uint64_t raw = delta & LowMask(r);
    const uint64_t stateBits = state & LowMask(nb);
    if constexpr (SplitFields) {
      writer.Put(raw, r);
      writer.Put(stateBits, nb);
    } else {
      writer.Put((stateBits << r) | raw, width);
    }
    state = row[state >> nb];
    previous = current;
  }
  run.previous = previous;
  run.state = state;
  run.budget = budget;
  run.writer = writer;
  return static_cast<uint64_t>(p - values);
}

template <bool SplitFields>
uint64_t CodePlainFields(const FseEncodeTable& fse, unsigned r, const uint64_t* values, uint64_t n,
                         FieldRun& run) {
  return CodePlainFieldsBody<SplitFields>(fse, r, values, n, run);
}

// Variable shifts and masks without the count register: fewer instructions a value.
template <bool SplitFields>
__attribute__((target("bmi,bmi2"))) uint64_t CodePlainFieldsBmi2(const FseEncodeTable& fse,
                                                                 unsigned r, const uint64_t* values,
                                                                 uint64_t n, FieldRun& run) {
  return CodePlainFieldsBody<SplitFields>(fse, r, values, n, run);
}

// Codes the deltas of values[0..n) while they fit the budget; returns how many did.
template <bool SplitFields>
uint64_t CodeFields(const FseEncodeTable& fse, unsigned r, bool bmi2, const uint64_t* values,
                    uint64_t n, FieldRun& run) {
  uint64_t i = 0;
  while (i < n) {
    i += bmi2 ? CodePlainFieldsBmi2<SplitFields>(fse, r, values + i, n - i, run)
              : CodePlainFields<SplitFields>(fse, r, values + i, n - i, run);
    if (i == n || !CodeField<SplitFields>(fse, r, values[i], run)) break;
    ++i;
  }
  return i;
}

}  // namespace

ArenaPtr<ParkEncoder> CreateParkEncoder(MemoryArena& objectArena, MemoryArena& bufferArena) {
  void* memory = objectArena.Allocate(sizeof(ParkEncoder), 16);
  if (memory == nullptr) throw std::bad_alloc();
  // From here on the handle gives back whatever was allocated when a later step fails.
  ArenaPtr<ParkEncoder> encoder(new (memory) ParkEncoder(),
                                ArenaDeleter<ParkEncoder>{&objectArena});
  encoder->fse_ = static_cast<FseEncodeTable*>(std::malloc(sizeof(FseEncodeTable)));
  if (encoder->fse_ == nullptr) throw std::runtime_error("failed to allocate memory: 32229AA1");
  encoder->park_.Allocate(bufferArena, kParkBytes);
  encoder->values_.Allocate(bufferArena, ParkEncoder::kValueCapacity);
  encoder->index_.Allocate(bufferArena, ParkEncoder::kIndexCapacity);
  encoder->index_.Clear();
  return encoder;
}

ParkEncoder::~ParkEncoder() { std::free(fse_); }

void ParkEncoder::SetParkLength(uint64_t bytes) {
  if (bytes > kParkBytes) throw std::runtime_error("77672E4F");
  parkLength_ = bytes;
}

void ParkEncoder::Configure(const DeltaCodingTable& table, bool wideAnchor, bool positionField,
                            uint64_t indexDivisor) {
  indexDivisor_ = indexDivisor;
  if (table.rawBits > kParkMaxRawBits) throw std::runtime_error("AB009251");
  rawBits_ = table.rawBits;
  wideAnchor_ = wideAnchor;
  positionField_ = positionField;
  // A symbol without a slot cannot be coded at all (it would take 15 state bits that no decoder
  // reads back), so such tables are refused up front.
  bool everySymbolCoded = true;
  for (int16_t count : table.counts) everySymbolCoded &= count != 0;
  if (!everySymbolCoded || BuildFseEncodeTable(*fse_, table.counts) != 0) {
    throw std::runtime_error("237AC718");
  }
  // Every processor with the wide vector kernels has BMI2; VARNOK_SIMD=portable turns it off too.
  bmi2_ = BestSimdLevel() != SimdLevel::kPortable && __builtin_cpu_supports("bmi2");
  ready_ = true;
}

void ParkEncoder::Begin(const DeltaCodingTable& table, bool wideAnchor, bool positionField,
                        uint64_t indexDivisor, Sink sink) {
  if (sink_) throw std::runtime_error("40EBB253");
  sink_ = std::move(sink);
  position_ = 0;
  buffered_ = 0;
  valueHead_ = 0;
  valuesEncoded_ = 0;
  parkCount_ = 0;
  indexedParkCount_ = 0;
  indexCount_ = 0;
  lookup_ = BlockIndex{};
  ready_ = false;
  try {
    Configure(table, wideAnchor, positionField, indexDivisor);
  } catch (...) {
    // A table that cannot be coded starts nothing: no sink stays attached to block the next
    // Begin, and the encoder stays not ready.
    sink_ = nullptr;
    throw;
  }
}

void ParkEncoder::Append(const uint64_t* values, uint64_t count) {
  while (count > 0) {
    const uint64_t tail = (valueHead_ + buffered_) & kValueMask;
    const uint64_t room = std::min(kValueCapacity - buffered_, kValueCapacity - tail);
    const uint64_t n = std::min(room, count);
    std::memcpy(values_.Data() + tail, values, n * sizeof(uint64_t));
    buffered_ += n;
    values += n;
    count -= n;
    if (buffered_ == kValueCapacity) EncodePark();
  }
}

uint64_t ParkEncoder::EncodePark() {
  if (indexCount_ >= kIndexCapacity) throw std::runtime_error("A6E29F14");
  if (!ready_) throw std::runtime_error("72ABC8E5");
  const uint64_t length = parkLength_;
  if (length < ParkMinimumBytes(positionField_)) throw std::runtime_error("2AECE631");
  const uint64_t m = buffered_;
  if (m == 0) throw std::runtime_error("90300170");

  const uint64_t* v = values_.Data();
  uint8_t* const park = park_.Data();
  IndexEntry* const index = index_.Data();
  const uint64_t head = valueHead_;
  const unsigned r = rawBits_;
  const FseEncodeTable& fse = *fse_;
  FieldRun run{v[head & kValueMask], 0,
               static_cast<int64_t>(length * 8) - ParkFixedBits(wideAnchor_, positionField_),
               FieldWriter{park}};

  uint64_t k = 1;
  if (m >= 2) {
    run.budget -= kParkStateBits;
    const uint64_t firstHigh = (v[(head + 1) & kValueMask] - run.previous) >> r;
    run.state = FseInitialState(fse, firstHigh & 255);
    // The decoder stops once the bits of the fields are used up, so a first field of zero bits
    // (r = 0 and a symbol holding more than half the slots) would lose the park's first values.
    // The decoder never uses the starting state, and from the top state every symbol short of
    // the whole table costs at least one bit.
    if (r == 0 && firstHigh < kParkEscapeSymbol &&
        FseEncodeBits(fse, run.state, static_cast<unsigned>(firstHigh)) == 0) {
      run.state = 2 * kFseTableSize - 1;
    }
    // The buffered values after the first, as at most two runs of the ring.
    uint64_t start = (head + 1) & kValueMask;
    for (uint64_t left = m - 1; left > 0;) {
      const uint64_t n = std::min(left, kValueCapacity - start);
      const uint64_t coded = r > kWholeFieldRawBits
                                 ? CodeFields<true>(fse, r, bmi2_, v + start, n, run)
                                 : CodeFields<false>(fse, r, bmi2_, v + start, n, run);
      k += coded;
      if (coded < n) break;
      left -= n;
      start = (start + n) & kValueMask;
    }
    // Not even one delta fitted (only possible in very short parks): a one-value park carries
    // no coder state, so its bits go back to the budget.
    if (k < 2) run.budget += kParkStateBits;
  }

  BitWriter writer(park, length - 1, run.writer.offset, run.writer.acc, run.writer.fill);
  if (k >= 2) writer.Put(run.state & (kFseTableSize - 1), kParkStateBits);
  const uint64_t anchor = run.previous;
  if (wideAnchor_) {
    writer.Put(anchor, 64);
  } else {
    if (anchor >> 63) throw std::runtime_error("94BBF23F");
    writer.Put(anchor, 63);
  }
  if (positionField_) writer.Put(position_ & 0xFFFFFFFFu, 32);

  const uint64_t streamEnd = writer.Flush();
  std::memset(park + streamEnd, 0, length - 1 - streamEnd);
  const uint64_t pad = static_cast<uint64_t>(run.budget);
  if (pad <= 254) {
    park[length - 1] = static_cast<uint8_t>(pad);
  } else {
    park[length - 1] = 255;
    const uint32_t pad32 = static_cast<uint32_t>(pad);
    std::memcpy(park + length - 5, &pad32, 4);
  }

  const uint64_t first = v[head & kValueMask];
  if (indexDivisor_ != 0) {
    index[indexCount_] = {first / indexDivisor_, anchor / indexDivisor_};
  } else {
    index[indexCount_] = {position_, position_ + k - 1};
  }
  ++indexCount_;
  position_ += k;
  valueHead_ = (head + k) & kValueMask;
  ++indexedParkCount_;
  const uint64_t result = sink_(park, length);
  if (++parkCount_ == 0) throw std::runtime_error("3D343299");
  buffered_ -= k;
  valuesEncoded_ += k;
  return result;
}

void ParkEncoder::ComputeLookup() {
  lookup_ = BlockIndex{};
  const uint64_t parks = parkCount_;
  if (parks < 2) return;
  const uint64_t quantum = indexedParkCount_;
  if (quantum == 0 || quantum > indexCount_) throw std::runtime_error("A41D4EF5");
  const uint64_t last = index_[quantum - 1].last;
  // The scale maps the largest key to about the park count; a key range no larger than the
  // number of parks leaves nothing to scale (and 0 would divide by zero).
  if (last <= quantum) throw std::runtime_error("0B0848E2");
  const uint64_t scale =
      static_cast<uint64_t>((static_cast<unsigned __int128>(quantum) << 64) / last);
  lookup_.scale = scale;

  BlockIndexPair pairs[256];
  for (BlockIndexPair& pair : pairs) pair = kUntouchedPair;
  for (uint64_t j = 0; j < indexCount_; ++j) {
    const uint64_t gf = GuessPark(lookup_, parks, index_[j].first);
    const uint64_t gl = GuessPark(lookup_, parks, index_[j].last);
    const int64_t high = static_cast<int64_t>(j) - static_cast<int64_t>(gf);
    if (high < -32768 || high > 32767) throw std::runtime_error("325FA14B");
    const int64_t low = static_cast<int64_t>(j) - static_cast<int64_t>(gl);
    if (low < -32768 || low > 32767) throw std::runtime_error("D3F0D5E5");
    for (uint64_t b = (gf * 256) / parks; b <= (gl * 256) / parks; ++b) {
      BlockIndexPair& pair = pairs[b];
      if (IsUntouchedPair(pair)) {
        pair = {static_cast<int16_t>(low), static_cast<int16_t>(high)};
      } else {
        pair.low = std::min<int16_t>(pair.low, static_cast<int16_t>(low));
        pair.high = std::max<int16_t>(pair.high, static_cast<int16_t>(high));
      }
    }
  }
  std::memcpy(lookup_.pairs, pairs, sizeof(pairs));
}

void ParkEncoder::Finish() {
  if (!sink_) throw std::runtime_error("4AC8E7C6");
  while (buffered_ > 0) EncodePark();
  ComputeLookup();
  sink_ = nullptr;
}

void ParkEncoder::MakeBufferContiguous() {
  if (valueHead_ == 0) return;
  uint64_t* values = values_.Data();
  std::rotate(values, values + valueHead_, values + kValueCapacity);
  valueHead_ = 0;
}

void ParkEncoder::SaveState(const ChunkWriter& write) {
  if (!sink_) throw std::runtime_error("86E2ACC3");
  MakeBufferContiguous();
  write(&valuesEncoded_, 8);
  write(&position_, 8);
  write(&parkCount_, 4);
  write(&indexedParkCount_, 4);
  write(&indexCount_, 8);
  if (indexCount_ != 0) write(index_.Data(), indexCount_ * sizeof(IndexEntry));
  write(&buffered_, 8);
  if (buffered_ != 0) write(values_.Data(), buffered_ * sizeof(uint64_t));
  sink_ = nullptr;
}

void ParkEncoder::LoadState(const DeltaCodingTable& table, bool wideAnchor, bool positionField,
                            uint64_t indexDivisor, Sink sink, const ChunkReader& read) {
  if (sink_) throw std::runtime_error("A9ECDD9B");
  ready_ = false;
  uint64_t valuesEncoded = 0, position = 0, entries = 0, buffered = 0;
  uint32_t parks = 0, indexedParks = 0;
  read(&valuesEncoded, 8);
  read(&position, 8);
  read(&parks, 4);
  read(&indexedParks, 4);
  read(&entries, 8);
  // Every park adds one index entry and one to both park counts; a record where they disagree
  // would make the lookup read entries that were never written.
  if (entries > kIndexCapacity || entries != parks || entries != indexedParks) {
    throw std::runtime_error("A41D4EF5");
  }
  if (entries != 0) read(index_.Data(), entries * sizeof(IndexEntry));
  read(&buffered, 8);
  if (buffered >= kValueCapacity) throw std::runtime_error("84C57EB4");
  if (buffered != 0) read(values_.Data(), buffered * sizeof(uint64_t));

  valuesEncoded_ = valuesEncoded;
  position_ = position;
  parkCount_ = parks;
  indexedParkCount_ = indexedParks;
  indexCount_ = entries;
  buffered_ = buffered;
  valueHead_ = 0;
  lookup_ = BlockIndex{};
  Configure(table, wideAnchor, positionField, indexDivisor);
  sink_ = std::move(sink);
}
