#pragma once

#include <cstdint>
#include <utility>

#include "chia/delta_coding_table.h"
#include "chia/fse_tables.h"

// Reads the parks of one table. Read-only after Init, so several threads may decode different
// parks with one decoder, each into its own output array.
class ParkDecoder {
 public:
  // Throws "failed to allocate memory: BFF8D709" when the decoding table cannot be allocated.
  ParkDecoder();
  ~ParkDecoder();
  ParkDecoder(const ParkDecoder&) = delete;
  ParkDecoder& operator=(const ParkDecoder&) = delete;

  // Throws std::invalid_argument (empty text) when the raw-bit count exceeds 50 or the counts do
  // not fill the coding table; the decoder then stays unusable.
  void Init(const DeltaCodingTable& table, bool wideAnchor, bool positionField);
  bool Ready() const { return ready_; }

  // Decodes the park of `length` bytes at `park` into the end of `out` (`slots` values) and
  // returns (n, &out[slots - n]) with the n values in ascending order. `position` receives the
  // position field when the table has one. With `positionOnly` the call stops after that field
  // and returns (0, nullptr); with `anchorOnly` it stops after the park's largest value.
  // Never reads outside the park or writes outside `out`; a malformed park throws.
  std::pair<uint64_t, uint64_t*> Decode(const uint8_t* park, uint64_t length, uint64_t* out,
                                        uint64_t slots, uint64_t& position, bool positionOnly,
                                        bool anchorOnly) const;

 private:
  FseDecodeTable* table_;
  uint8_t rawBits_ = 0;
  bool wideAnchor_ = false;
  bool positionField_ = false;
  bool ready_ = false;
};
