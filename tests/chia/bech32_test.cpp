#include "chia/bech32.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chia/chia_address.h"
#include "tests/support/hex.h"
#include "tests/support/vector_file.h"

namespace {

// 5-bit groups of the bytes, as an encoder input.
std::vector<uint8_t> Groups(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> out;
  Bech32ConvertBits(out, bytes.data(), bytes.data() + bytes.size());
  return out;
}

std::string Address(const std::vector<uint8_t>& puzzleHash) {
  return Bech32mEncode("xch", Groups(puzzleHash));
}

std::vector<uint8_t> RandomBytes(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

}  // namespace

TEST(Bech32, PublishedStrings) {
  const std::vector<VectorRecord> cases = LoadVectorFile("bech32_bip173_bip350.txt");
  ASSERT_EQ(cases.size(), 42u);
  for (const VectorRecord& c : cases) {
    const std::vector<uint8_t> hex = c.count("hex") ? FromHex(c.at("hex")) : std::vector<uint8_t>();
    const std::string text = c.count("text") ? c.at("text") : std::string(hex.begin(), hex.end());
    SCOPED_TRACE(text);
    const Bech32Decoded d = Bech32Decode(text);
    const std::string& kind = c.at("kind");
    if (kind == "invalid") {
      EXPECT_EQ(d.encoding, kBech32Invalid);
      EXPECT_TRUE(d.prefix.empty() && d.data.empty());
    } else if (kind == "bech32") {
      EXPECT_EQ(d.encoding, kBech32);
    } else {
      EXPECT_EQ(d.encoding, kBech32m);
      // Re-encoding the lower-case form gives the text back exactly.
      std::string lower(text);
      for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      EXPECT_EQ(Bech32mEncode(d.prefix, d.data), lower);
    }
  }

  // Prefix and data of two of them.
  Bech32Decoded d = Bech32Decode("abcdef1l7aum6echk45nj3s0wdvt2fg8x9yrzpqzd3ryx");
  EXPECT_EQ(d.prefix, "abcdef");
  std::vector<uint8_t> descending;
  for (int v = 31; v >= 0; --v) descending.push_back(static_cast<uint8_t>(v));
  EXPECT_EQ(d.data, descending);
  d = Bech32Decode("A12UEL5L");
  EXPECT_EQ(d.prefix, "a");
  EXPECT_TRUE(d.data.empty());
}

// Segregated-witness addresses from the BIP texts: version value, then the
// program in 5-bit groups.
TEST(Bech32, ConvertBitsAgainstPublishedAddresses) {
  std::vector<uint8_t> program = FromHex("751e76e8199196d454941c45d1b3a323f1433bd6");
  Bech32Decoded d = Bech32Decode("BC1QW508D6QEJXTDG4Y5R3ZARVARY0C5XW7KV8F3T4");
  ASSERT_EQ(d.encoding, kBech32);
  EXPECT_EQ(d.prefix, "bc");
  std::vector<uint8_t> expected = {0};
  Bech32ConvertBits(expected, program.data(), program.data() + program.size());
  EXPECT_EQ(d.data, expected);

  std::vector<uint8_t> v1 = {1};
  std::vector<uint8_t> doubled = program;
  doubled.insert(doubled.end(), program.begin(), program.end());
  Bech32ConvertBits(v1, doubled.data(), doubled.data() + doubled.size());
  EXPECT_EQ(Bech32mEncode("bc", v1),
            "bc1pw508d6qejxtdg4y5r3zarvary0c5xw7kw508d6qejxtdg4y5r3zarvary0c5xw7kt5nd6y");

  // Padding: one byte gives two groups, the second holding 3 bits shifted left.
  std::vector<uint8_t> groups;
  uint8_t byte = 0xff;
  Bech32ConvertBits(groups, &byte, &byte + 1);
  EXPECT_EQ(groups, (std::vector<uint8_t>{31, 28}));
  groups.clear();
  Bech32ConvertBits(groups, &byte, &byte);
  EXPECT_TRUE(groups.empty());
}

TEST(ChiaAddress, RoundTripsAndCaseFolding) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 50; ++i) {
    auto hash = RandomBytes(rng, 32);
    std::string text = Address(hash), upper = text, mixed = text;
    ASSERT_EQ(text.substr(0, 4), "xch1");
    // All capitals decode the same; mixed case does not.
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    mixed[10] = upper[10];
    for (const std::string& form : {text, upper, mixed}) {
      uint8_t out[32] = {};
      EXPECT_EQ(DecodeChiaAddress(form, out), form != mixed || mixed == text) << form;
      if (form != mixed) {
        EXPECT_EQ(ToHex(out, 32), ToHex(hash));
      }
    }
  }
}

TEST(ChiaAddress, RefusedAddressesLeaveOutputUntouched) {
  std::mt19937_64 rng(11);
  auto checkRefused = [](const std::string& text) {
    uint8_t out[32];
    std::memset(out, 0xa5, sizeof out);
    EXPECT_FALSE(DecodeChiaAddress(text, out)) << text;
    for (uint8_t b : out) ASSERT_EQ(b, 0xa5) << text;
  };
  checkRefused(Address(RandomBytes(rng, 31)));
  checkRefused(Address(RandomBytes(rng, 33)));
  checkRefused(Address({}));
  checkRefused(Bech32mEncode("xcg", Groups(RandomBytes(rng, 32))));
  checkRefused(Bech32mEncode("txch", Groups(RandomBytes(rng, 32))));
  checkRefused("");
  checkRefused("xch1");

  // Non-zero padding: the last of the 52 groups carries 4 padding bits.
  for (uint8_t pad : {1, 2, 4, 8}) {
    auto groups = Groups(RandomBytes(rng, 32));
    ASSERT_EQ(groups.size(), 52u);
    groups.back() |= pad;
    checkRefused(Bech32mEncode("xch", groups));
  }
  // One group too many (33 bytes and a bit) or too few (31 bytes and 7 bits).
  auto groups = Groups(RandomBytes(rng, 32));
  groups.push_back(0);
  checkRefused(Bech32mEncode("xch", groups));
  groups.resize(51);
  checkRefused(Bech32mEncode("xch", groups));

  // A corrupted checksum.
  std::string text = Address(RandomBytes(rng, 32));
  text.back() = text.back() == 'q' ? 'p' : 'q';
  checkRefused(text);
}

// The older bech32 checksum is accepted for addresses.
TEST(ChiaAddress, AcceptsBech32Checksum) {
  std::mt19937_64 rng(13);
  auto hash = RandomBytes(rng, 32);
  auto groups = Groups(hash);
  std::vector<uint8_t> values = Bech32ExpandHrp("xch");
  values.insert(values.end(), groups.begin(), groups.end());
  values.insert(values.end(), 6, 0);
  uint32_t c = Bech32Polymod(values) ^ 1;
  static constexpr char kCharset[] = "qpzry9x8gf2tvdw0s3jn54khce6mua7l";
  std::string text = "xch1";
  for (uint8_t v : groups) text += kCharset[v];
  for (int i = 0; i < 6; ++i) text += kCharset[(c >> (5 * (5 - i))) & 31];
  EXPECT_EQ(Bech32Decode(text).encoding, kBech32);
  uint8_t out[32];
  ASSERT_TRUE(DecodeChiaAddress(text, out));
  EXPECT_EQ(ToHex(out, 32), ToHex(hash));
}

TEST(ChiaAddress, PublicKeyText) {
  std::mt19937_64 rng(17);
  for (int i = 0; i < 20; ++i) {
    auto key = RandomBytes(rng, 48);
    std::string text = EncodeKeyBech32m(key.data());
    ASSERT_EQ(text.size(), 85u);
    EXPECT_EQ(text.substr(0, 2), "g1");
    Bech32Decoded d = Bech32Decode(text);
    ASSERT_EQ(d.encoding, kBech32m);
    EXPECT_EQ(d.prefix, "g");
    ASSERT_EQ(d.data.size(), 77u);
    EXPECT_EQ(d.data.back() & 1, 0);  // 385 bits: one zero padding bit
    EXPECT_EQ(d.data, Groups(key));
  }
  // All-zero key: every group is "q"; the check characters follow.
  std::vector<uint8_t> zero(48, 0);
  std::string text = EncodeKeyBech32m(zero.data());
  EXPECT_EQ(text.substr(2, 77), std::string(77, 'q'));
}
