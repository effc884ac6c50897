#include "chia/bech32.h"

#include <array>

namespace {

constexpr char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
constexpr uint32_t kBech32Constant = 1;
constexpr uint32_t kBech32mConstant = 0x2bc830a3;
constexpr size_t kMaxTextLength = 90;
constexpr size_t kChecksumLength = 6;

// Character code -> 5-bit value, both letter cases; -1 for anything else.
constexpr std::array<int8_t, 128> MakeReverseTable() {
  std::array<int8_t, 128> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 32; ++i) {
    char c = kCharset[i];
    table[static_cast<unsigned char>(c)] = static_cast<int8_t>(i);
    if (c >= 'a' && c <= 'z')
      table[static_cast<unsigned char>(c - 'a' + 'A')] = static_cast<int8_t>(i);
  }
  return table;
}
constexpr std::array<int8_t, 128> kReverse = MakeReverseTable();

}  // namespace

uint32_t Bech32Polymod(const std::vector<uint8_t>& values) {
  static constexpr uint32_t kGenerator[5] = {0x3b6a57b2, 0x26508e6d, 0x1ea119fa, 0x3d4233dd,
                                             0x2a1462b3};
  uint32_t chk = 1;
  for (uint8_t v : values) {
    uint32_t top = chk >> 25;
    chk = (chk & 0x1ffffff) << 5 ^ (v & 31);
    for (int i = 0; i < 5; ++i) {
      if ((top >> i) & 1) chk ^= kGenerator[i];
    }
  }
  return chk;
}

std::vector<uint8_t> Bech32ExpandHrp(std::string_view prefix) {
  std::vector<uint8_t> out;
  out.reserve(2 * prefix.size() + 1);
  for (char c : prefix) out.push_back(static_cast<uint8_t>(static_cast<unsigned char>(c) >> 5));
  out.push_back(0);
  for (char c : prefix) out.push_back(static_cast<uint8_t>(static_cast<unsigned char>(c) & 31));
  return out;
}

std::string Bech32mEncode(std::string_view prefix, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> values = Bech32ExpandHrp(prefix);
  values.insert(values.end(), data.begin(), data.end());
  values.insert(values.end(), kChecksumLength, 0);
  uint32_t c = Bech32Polymod(values) ^ kBech32mConstant;

  std::string out(prefix);
  out.reserve(prefix.size() + 1 + data.size() + kChecksumLength);
  out += '1';
  // Values are 5-bit by contract; masking keeps a stray high bit from reading
  // past the character set (the checksum masks the same way).
  for (uint8_t v : data) out += kCharset[v & 31];
  for (int i = 0; i < 6; ++i) out += kCharset[(c >> (5 * (5 - i))) & 31];
  return out;
}

Bech32Decoded Bech32Decode(std::string_view text) {
  Bech32Decoded invalid;
  bool lower = false, upper = false;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 33 || c > 126) return invalid;
    if (c >= 'a' && c <= 'z') lower = true;
    if (c >= 'A' && c <= 'Z') upper = true;
  }
  if (lower && upper) return invalid;

  size_t separator = text.rfind('1');
  if (text.size() > kMaxTextLength || separator == std::string_view::npos || separator == 0 ||
      text.size() - separator - 1 < kChecksumLength) {
    return invalid;
  }

  std::vector<uint8_t> values;
  values.reserve(text.size() - separator - 1);
  for (size_t i = separator + 1; i < text.size(); ++i) {
    int8_t v = kReverse[static_cast<unsigned char>(text[i])];
    if (v < 0) return invalid;
    values.push_back(static_cast<uint8_t>(v));
  }

  std::string prefix(text.substr(0, separator));
  for (char& c : prefix) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }

  std::vector<uint8_t> all = Bech32ExpandHrp(prefix);
  all.insert(all.end(), values.begin(), values.end());
  uint32_t check = Bech32Polymod(all);
  uint32_t encoding = check == kBech32Constant    ? kBech32
                      : check == kBech32mConstant ? kBech32m
                                                  : kBech32Invalid;
  if (encoding == kBech32Invalid) return invalid;

  values.resize(values.size() - kChecksumLength);
  return Bech32Decoded{encoding, std::move(prefix), std::move(values)};
}

void Bech32ConvertBits(std::vector<uint8_t>& out, const uint8_t* begin, const uint8_t* end) {
  uint32_t accumulator = 0;
  int bits = 0;
  for (const uint8_t* p = begin; p != end; ++p) {
    accumulator = ((accumulator << 8) | *p) & 0xfff;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out.push_back(static_cast<uint8_t>((accumulator >> bits) & 31));
    }
  }
  if (bits > 0) out.push_back(static_cast<uint8_t>((accumulator << (5 - bits)) & 31));
}
