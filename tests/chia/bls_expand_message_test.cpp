#include "chia/bls/expand_message.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/chia/bls_vectors.h"

namespace {

using blstest::Bytes;

TEST(BlsExpandMessage, PublishedVectors) {
  const blstest::Json file = blstest::LoadVectorFile("xmd_sha256_38.json");
  const std::vector<uint8_t> dst = Bytes(file["DST"].text);
  ASSERT_EQ(dst.size(), 38u);
  ASSERT_EQ(file["tests"].items.size(), 10u);
  for (const blstest::Json& t : file["tests"].items) {
    const std::vector<uint8_t> msg = Bytes(t["msg"].text);
    const size_t length = std::stoul(t["len_in_bytes"].text, nullptr, 16);
    EXPECT_EQ(ToHex(bls::ExpandMessageXmd(msg, dst, length)), t["uniform_bytes"].text)
        << "msg \"" << t["msg"].text << "\" length " << length;
  }
}

TEST(BlsExpandMessage, LengthsAndRefusals) {
  const std::vector<uint8_t> dst = Bytes("TAG");
  const std::vector<uint8_t> msg = Bytes("m");
  // The requested length is hashed into b_0, so a shorter output is not a prefix of a longer one.
  const auto long_out = bls::ExpandMessageXmd(msg, dst, 64);
  const auto short_out = bls::ExpandMessageXmd(msg, dst, 32);
  EXPECT_EQ(long_out.size(), 64u);
  EXPECT_NE(std::vector<uint8_t>(long_out.begin(), long_out.begin() + 32), short_out);
  EXPECT_EQ(bls::ExpandMessageXmd(msg, dst, 255 * 32).size(), 255u * 32u);
  EXPECT_THROW(bls::ExpandMessageXmd(msg, dst, 255 * 32 + 1), std::runtime_error);
  EXPECT_THROW(bls::ExpandMessageXmd(msg, dst, 0), std::runtime_error);
  EXPECT_THROW(bls::ExpandMessageXmd(msg, std::vector<uint8_t>(256, 'a'), 32), std::runtime_error);
  EXPECT_NO_THROW(bls::ExpandMessageXmd(msg, std::vector<uint8_t>(255, 'a'), 32));
}

}  // namespace
