// Feeds arbitrary bytes to ParkDecoder::Decode. The first input byte picks the table form, the
// decoding flags and the output size; the rest is the park. Any outcome but a clean result or a
// standard exception is a fault; the sanitizers catch reads or writes out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

#include "chia/delta_coding_table.h"
#include "chia/park_decoder.h"

namespace {

struct Decoders {
  ParkDecoder forms[4][3];
  Decoders() {
    const uint64_t gaps[3] = {1, 16, uint64_t{1} << 31};
    for (int g = 0; g < 3; ++g) {
      DeltaCodingTable table{};
      BuildDeltaCodingTable(gaps[g], table);
      for (int f = 0; f < 4; ++f) forms[f][g].Init(table, f & 1, f & 2);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Decoders kDecoders;
  if (size < 2) return 0;
  const uint8_t control = data[0];
  const ParkDecoder& decoder = kDecoders.forms[control & 3][(control >> 2) % 3];
  const bool positionOnly = control & 0x10;
  const bool anchorOnly = control & 0x20;
  // Exact-size outputs, made once, so that any write past them is seen.
  static std::vector<uint64_t> outputs[3] = {std::vector<uint64_t>(3), std::vector<uint64_t>(100),
                                             std::vector<uint64_t>(65536)};
  std::vector<uint64_t>& out = outputs[(control >> 6) < 2 ? (control >> 6) : 2];
  const size_t slots = out.size();

  // An exact-size copy so that any read past the park is seen.
  std::vector<uint8_t> park(data + 1, data + size);
  uint64_t position = 0;
  try {
    auto [n, first] = decoder.Decode(park.data(), park.size(), out.data(), out.size(), position,
                                     positionOnly, anchorOnly);
    if (n > slots || (n > 0 && first != out.data() + slots - n)) __builtin_trap();
    for (uint64_t i = 1; i < n; ++i) {
      if (first[i - 1] > first[i]) __builtin_trap();
    }
  } catch (const std::exception&) {
  }
  return 0;
}
