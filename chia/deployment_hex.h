#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Bytes of a deployment record written as hexadecimal text, checked when compiled: exactly 2 x N
// lower- or upper-case digits, or the build fails.
template <size_t N, size_t L>
consteval std::array<uint8_t, N> DeploymentHex(const char (&text)[L]) {
  static_assert(L == 2 * N + 1, "wrong number of hexadecimal digits");
  auto nibble = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    throw "not a hexadecimal digit";  // not a constant expression: a compile error
  };
  std::array<uint8_t, N> out{};
  for (size_t i = 0; i < N; ++i) {
    out[i] = static_cast<uint8_t>(nibble(text[2 * i]) << 4 | nibble(text[2 * i + 1]));
  }
  return out;
}
