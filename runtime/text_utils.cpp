#include "runtime/text_utils.h"

#include <iomanip>
#include <locale>
#include <sstream>

namespace {

std::string ToHex(const uint8_t* bytes, size_t count, const char* digits) {
  std::string text(2 * count, '0');
  for (size_t i = 0; i < count; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 15];
  }
  return text;
}

}  // namespace

std::string FormatGiB(uint64_t bytes) {
  std::ostringstream out;
  out.imbue(std::locale::classic());  // a decimal point whatever the user's locale
  out << std::fixed << std::setprecision(2) << static_cast<double>(bytes) * 0x1p-30;
  return out.str();
}

std::string ToHexUpper(const uint8_t* bytes) { return ToHexUpper(bytes, 32); }

std::string ToHexUpper(const uint8_t* bytes, size_t count) {
  return ToHex(bytes, count, "0123456789ABCDEF");
}

std::string ToHexLower(const uint8_t* bytes, size_t count) {
  return ToHex(bytes, count, "0123456789abcdef");
}
