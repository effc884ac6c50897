#include "chia/chia_address.h"

#include <cstring>
#include <vector>

#include "chia/bech32.h"

std::string EncodeKeyBech32m(const uint8_t key[48]) {
  std::vector<uint8_t> groups;
  groups.reserve(77);
  Bech32ConvertBits(groups, key, key + 48);
  return Bech32mEncode("g", groups);
}

bool DecodeBech32Bytes(std::string_view text, std::string_view prefix, uint8_t* out, size_t size) {
  Bech32Decoded decoded = Bech32Decode(text);
  if (decoded.encoding == kBech32Invalid || decoded.prefix != prefix) return false;

  // 5-bit groups back to bytes, without padding.
  std::vector<uint8_t> bytes;
  bytes.reserve(decoded.data.size() * 5 / 8);
  uint32_t accumulator = 0;
  int bits = 0;
  for (uint8_t value : decoded.data) {
    accumulator = ((accumulator << 5) & 0xfff) | value;
    bits += 5;
    while (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<uint8_t>((accumulator >> bits) & 0xff));
    }
  }
  if (bits >= 5 || (accumulator & ((1u << bits) - 1)) != 0) return false;
  if (bytes.size() != size) return false;
  std::memcpy(out, bytes.data(), size);
  return true;
}

bool DecodeChiaAddress(std::string_view text, uint8_t out[32]) {
  return DecodeBech32Bytes(text, "xch", out, 32);
}
