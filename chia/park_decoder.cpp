#include "chia/park_decoder.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "chia/park_format.h"

namespace {

// Reads fields back from the end of the stream: each read returns the `width` bits just below
// the read position. Loads are bounded by the park, never by the stream end, so the padding and
// trailer bytes past the stream may be loaded and are masked off.
class BackwardBitReader {
 public:
  BackwardBitReader(const uint8_t* park, uint64_t length, uint64_t streamBits)
      : park_(park), length_(length), position_(streamBits) {}

  // width 0..64. Throws when the field would start before the park: "92C4226E" when part of it
  // is there, "8D8EC4C6" when none of it is.
  uint64_t Read(unsigned width) {
    if (width > position_) {
      if (position_ > 0) throw std::runtime_error("92C4226E");
      throw std::invalid_argument("8D8EC4C6");
    }
    position_ -= width;
    if (width == 0) return 0;
    const uint64_t byte = position_ >> 3;
    const unsigned shift = position_ & 7;
    uint64_t value;
    if (byte + 9 <= length_) {
      uint64_t word;
      std::memcpy(&word, park_ + byte, 8);
      value = word >> shift;
      if (shift + width > 64) value |= uint64_t{park_[byte + 8]} << (64 - shift);
    } else {
      value = SlowLoad(byte) >> shift;
      if (shift + width > 64 && byte + 8 < length_)
        value |= uint64_t{park_[byte + 8]} << (64 - shift);
    }
    return width == 64 ? value : value & ((uint64_t{1} << width) - 1);
  }

  uint64_t Remaining() const { return position_; }

 private:
  uint64_t SlowLoad(uint64_t byte) const {
    uint64_t word = 0;
    for (uint64_t i = 0; i < 8 && byte + i < length_; ++i) {
      word |= uint64_t{park_[byte + i]} << (8 * i);
    }
    return word;
  }

  const uint8_t* park_;
  uint64_t length_;
  uint64_t position_;
};

}  // namespace

ParkDecoder::ParkDecoder()
    : table_(static_cast<FseDecodeTable*>(std::malloc(sizeof(FseDecodeTable)))) {
  if (table_ == nullptr) throw std::runtime_error("failed to allocate memory: BFF8D709");
}

ParkDecoder::~ParkDecoder() { std::free(table_); }

void ParkDecoder::Init(const DeltaCodingTable& table, bool wideAnchor, bool positionField) {
  ready_ = false;
  if (table.rawBits + kParkStateBits > 64) throw std::invalid_argument("");
  rawBits_ = table.rawBits;
  wideAnchor_ = wideAnchor;
  positionField_ = positionField;
  if (BuildFseDecodeTable(*table_, table.counts) != 0) throw std::invalid_argument("");
  ready_ = true;
}

std::pair<uint64_t, uint64_t*> ParkDecoder::Decode(const uint8_t* park, uint64_t length,
                                                   uint64_t* out, uint64_t slots,
                                                   uint64_t& position, bool positionOnly,
                                                   bool anchorOnly) const {
  if (!ready_) throw std::runtime_error("48E14D5C");
  if (slots == 0) throw std::runtime_error("1B776DD0");
  if (length < ParkMinimumBytes(positionField_)) throw std::runtime_error("4FF87540");
  if (positionOnly && !positionField_) return {0, nullptr};

  uint64_t pad = park[length - 1];
  if (pad == 255) {
    uint32_t pad32;
    std::memcpy(&pad32, park + length - 5, 4);
    pad = pad32;
  }
  if ((pad >> 3) >= length) throw std::invalid_argument("84E73092");
  const int64_t fieldBits =
      static_cast<int64_t>(length * 8) - ParkFixedBits(wideAnchor_, positionField_);
  if (static_cast<int64_t>(pad) > fieldBits) throw std::invalid_argument("405BAF72");

  BackwardBitReader reader(park, length, length * 8 - 8 - pad);
  if (positionField_) {
    position = reader.Read(32);
    if (positionOnly) return {0, nullptr};
  }
  uint64_t* const last = out + slots - 1;
  *last = reader.Read(wideAnchor_ ? 64 : 63);
  // Nothing below the anchor: a park of one value.
  if (anchorOnly || reader.Remaining() == 0) return {1, last};

  const FseDecodeEntry* entries = table_->entries;
  const unsigned r = rawBits_;
  const uint64_t rawMask = (uint64_t{1} << r) - 1;
  // A pad that leaves fewer bits than the state would make the delta budget negative; the read
  // refuses it, since the state would have to start before the park.
  uint32_t state = static_cast<uint32_t>(reader.Read(kParkStateBits));
  const uint64_t deltaBits = reader.Remaining();

  // The delta fields fill bits [0, deltaBits) of the stream exactly, so the bits still unread
  // are also the budget left, and every field is checked against it before it is taken. The
  // fields are taken from a 64-bit window at bit `windowBase`: the window never starts before
  // the park and ends at most 8 bits above the unread fields, below the state and the anchor,
  // so it never reaches past the park either. Keeping the unread end below the window's top bit
  // keeps the shift below 64 even for a field of no bits.
  uint64_t unread = deltaBits;
  uint64_t windowBase = 0;
  uint64_t window = 0;
  auto reload = [&] {
    const uint64_t byte = unread >= 56 ? (unread - 56) >> 3 : 0;
    std::memcpy(&window, park + byte, 8);
    windowBase = byte * 8;
  };
  reload();
  // Up to 56 bits; `unread` >= width.
  auto take = [&](unsigned width) -> uint64_t {
    if (unread - windowBase < width) reload();
    unread -= width;
    return (window >> (unread - windowBase)) & ((uint64_t{1} << width) - 1);
  };
  // A field wider than the bits left would start before the park.
  auto need = [&](unsigned width) {
    if (unread >= width) return;
    if (unread > 0) throw std::invalid_argument("92C4226E");
    throw std::invalid_argument("8D8EC4C6");
  };
  // Up to 64 bits, the high part first since the stream is read backward.
  auto takeWide = [&](unsigned width) -> uint64_t {
    if (width <= 56) return take(width);
    const uint64_t high = take(width - 32);
    return (high << 32) | take(32);
  };

  uint64_t value = *last;
  for (uint64_t i = slots - 1; i-- > 0;) {
    const FseDecodeEntry entry = entries[state];
    const unsigned width = entry.nbBits + r;
    need(width);
    const uint64_t x = takeWide(width);
    uint64_t delta = x & rawMask;
    if (entry.symbol < kParkEscapeSymbol) {
      delta |= uint64_t{entry.symbol} << r;
    } else {
      // The whole high part, written just before the field.
      need(64 - r);
      delta |= takeWide(64 - r) << r;
    }
    state = entry.newStateBase + static_cast<uint32_t>(x >> r);
    // Stored values are non-negative; a delta past the value above it means a corrupt park.
    if (delta > value) throw std::invalid_argument("FF9539DC");
    value -= delta;
    out[i] = value;
    if (unread == 0) return {slots - i, out + i};
  }
  throw std::invalid_argument("4DED0193");
}
