#include "pool/hex.h"

#include <cctype>
#include <stdexcept>

namespace {

int DigitAt(std::string_view text, size_t index) {
  const unsigned char ch = index < text.size() ? static_cast<unsigned char>(text[index]) : 0;
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (std::iscntrl(ch) || std::isspace(ch)) throw std::invalid_argument("Hex value too short");
  throw std::invalid_argument("Invalid hex character");
}

}  // namespace

void ParseHexBytes(std::string_view text, uint8_t* out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const int high = DigitAt(text, 2 * i);
    const int low = DigitAt(text, 2 * i + 1);
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  if (2 * count < text.size() && std::isalnum(static_cast<unsigned char>(text[2 * count]))) {
    throw std::invalid_argument("Hex value too long");
  }
}

std::array<uint8_t, 32> ParseHex32(std::string_view text) {
  std::array<uint8_t, 32> bytes;
  ParseHexBytes(text, bytes.data(), bytes.size());
  return bytes;
}
