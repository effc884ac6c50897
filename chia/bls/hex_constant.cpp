#include "chia/bls/hex_constant.h"

#include <stdexcept>

namespace bls {

Fp FpFromHex(std::string_view hex) {
  if (hex.size() > 2 * Fp::kBytes) throw std::logic_error("field constant too long");
  Fp::Bytes bytes{};
  // Fill from the least significant end, one digit at a time.
  for (size_t i = 0; i < hex.size(); ++i) {
    const char c = hex[hex.size() - 1 - i];
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      throw std::logic_error("bad hex digit in field constant");
    }
    bytes[Fp::kBytes - 1 - i / 2] |= static_cast<uint8_t>(v << (4 * (i % 2)));
  }
  auto f = Fp::FromBytes(bytes);
  if (!f) throw std::logic_error("field constant not below p");
  return *f;
}

}  // namespace bls
