#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "chia/bech32.h"
#include "chia/bls/g1_element.h"
#include "chia/chia_address.h"
#include "tests/support/whole_file.h"

namespace app_test {

// The usage text as a user sees it, for the given program name: an independent copy of it
// lives in tests/data/usage.txt, "%s" standing for the name.
inline std::string ExpectedUsage(const std::string& program) {
  std::string text = ReadTextFile(std::string(VARNOK_VECTORS_DIR) + "/usage.txt");
  return text.replace(text.find("%s"), 2, program);
}

// The blank-separated words of the text.
inline std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while ((start = text.find_first_not_of(' ', start)) != std::string::npos) {
    const size_t end = std::min(text.find(' ', start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

// An "xch" address (bech32m) of the puzzle hash.
inline std::string AddressOf(const std::array<uint8_t, 32>& puzzleHash) {
  std::vector<uint8_t> groups;
  Bech32ConvertBits(groups, puzzleHash.data(), puzzleHash.data() + puzzleHash.size());
  return Bech32mEncode("xch", groups);
}

inline std::array<uint8_t, 32> SamplePuzzleHash() {
  std::array<uint8_t, 32> hash;
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0xA0 + 3 * i);
  return hash;
}

// The reward address the tests pass on command lines.
inline const std::string kAddress = AddressOf(SamplePuzzleHash());

// The G1 generator: a valid public key, and its text.
inline std::array<uint8_t, 48> GeneratorKey() {
  std::array<uint8_t, 48> key;
  bls::G1Element::Generator().Serialize(key.data());
  return key;
}

inline std::string KeyText(const std::array<uint8_t, 48>& key) {
  return EncodeKeyBech32m(key.data());
}

// 48 bytes in the compressed form whose x lies above the field prime: no point.
inline std::array<uint8_t, 48> OffCurveKey() {
  std::array<uint8_t, 48> key;
  key.fill(0xFF);
  key[0] = 0x9A;
  return key;
}

}  // namespace app_test
