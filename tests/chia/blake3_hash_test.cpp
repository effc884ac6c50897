#include "chia/blake3_hash.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/hex.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/whole_file.h"


namespace {

// The official test input: byte i is i mod 251.
std::vector<uint8_t> Pattern(size_t length) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i % 251);
  return data;
}

// Hashes every file with the b3sum command and returns its digests by length.
std::map<size_t, std::string> OracleDigests(const std::vector<size_t>& lengths, int outBytes) {
  TestDirectory dir;
  std::string command = "b3sum --no-names --length " + std::to_string(outBytes);
  for (size_t n : lengths) {
    const auto file = dir / ("in_" + std::to_string(n));
    WriteWholeFile(file, Pattern(n));
    command.append(" ").append(file.string());
  }
  std::istringstream lines(RunCommand(command));
  std::map<size_t, std::string> digests;
  std::string line;
  for (size_t n : lengths) {
    if (!std::getline(lines, line)) break;
    digests[n] = line;
  }
  return digests;
}

std::string Hash(const std::vector<uint8_t>& data) {
  uint8_t out[32];
  Blake3Hash(data.data(), data.size(), out);
  return ToHex(out, 32);
}

}  // namespace

TEST(Blake3Hash, EmptyInput) {
  uint8_t out[32];
  Blake3Hash(nullptr, 0, out);
  EXPECT_EQ(ToHex(out, 32), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
}

TEST(Blake3Hash, MatchesB3sumOnOfficialPatternAtManyLengths) {
  // Every length up to two blocks: the Fx lengths 1..37 and both sides of the
  // one-block boundary.
  std::vector<size_t> lengths = {1023, 1024, 1025, 31744, 102400};
  for (size_t n = 0; n <= 129; ++n) lengths.push_back(n);
  auto digests = OracleDigests(lengths, 32);
  ASSERT_EQ(digests.size(), lengths.size());
  for (size_t n : lengths) EXPECT_EQ(Hash(Pattern(n)), digests[n]) << "length " << n;
}

// Pool messages take 16-byte outputs: they are the digest's first 16 bytes.
TEST(Blake3Hash, ShortOutputIsDigestPrefix) {
  std::vector<size_t> lengths = {4, 21, 128};
  auto digests = OracleDigests(lengths, 16);
  ASSERT_EQ(digests.size(), lengths.size());
  for (size_t n : lengths) {
    ASSERT_EQ(digests[n].size(), 32u);
    EXPECT_EQ(Hash(Pattern(n)).substr(0, 32), digests[n]) << "length " << n;
  }
}

// Inputs need no alignment and bytes beyond the length are not read.
TEST(Blake3Hash, UnalignedInputAndExactLength) {
  std::vector<uint8_t> buffer(64, 0xee);
  auto data = Pattern(37);
  std::copy(data.begin(), data.end(), buffer.begin() + 3);
  uint8_t a[32], b[32];
  Blake3Hash(buffer.data() + 3, 37, a);
  buffer[40] ^= 0xff;  // just past the input
  Blake3Hash(buffer.data() + 3, 37, b);
  EXPECT_EQ(ToHex(a, 32), ToHex(b, 32));
  EXPECT_EQ(ToHex(a, 32), Hash(data));
  buffer[39] ^= 0x01;  // the last input byte
  Blake3Hash(buffer.data() + 3, 37, b);
  EXPECT_NE(ToHex(a, 32), ToHex(b, 32));
}
