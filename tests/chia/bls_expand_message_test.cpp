#include "chia/bls/expand_message.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/hex.h"
#include "tests/support/vector_file.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(BlsExpandMessage, PublishedVectors) {
  const std::vector<VectorRecord> file = LoadVectorFile("xmd_sha256_38.txt");
  ASSERT_EQ(file.size(), 11u);
  const std::vector<uint8_t> dst = Bytes(file[0].at("dst"));
  ASSERT_EQ(dst.size(), 38u);
  for (size_t i = 1; i < file.size(); ++i) {
    const VectorRecord& t = file[i];
    const size_t length = std::stoul(t.at("len"), nullptr, 16);
    EXPECT_EQ(ToHex(bls::ExpandMessageXmd(Bytes(t.at("msg")), dst, length)), t.at("uniform"))
        << "msg \"" << t.at("msg") << "\" length " << length;
  }
}

TEST(BlsExpandMessage, LengthsAndRefusals) {
  const std::vector<uint8_t> dst = Bytes("TAG");
  const std::vector<uint8_t> msg = Bytes("m");
  // The requested length is hashed into b_0, so a shorter output is not a prefix of a longer one.
  const auto longOut = bls::ExpandMessageXmd(msg, dst, 64);
  const auto shortOut = bls::ExpandMessageXmd(msg, dst, 32);
  EXPECT_EQ(longOut.size(), 64u);
  EXPECT_NE(std::vector<uint8_t>(longOut.begin(), longOut.begin() + 32), shortOut);
  EXPECT_EQ(bls::ExpandMessageXmd(msg, dst, 255 * 32).size(), 255u * 32u);
  EXPECT_THROW(bls::ExpandMessageXmd(msg, dst, 255 * 32 + 1), std::runtime_error);
  EXPECT_THROW(bls::ExpandMessageXmd(msg, dst, 0), std::runtime_error);
  EXPECT_THROW(bls::ExpandMessageXmd(msg, std::vector<uint8_t>(256, 'a'), 32), std::runtime_error);
  EXPECT_NO_THROW(bls::ExpandMessageXmd(msg, std::vector<uint8_t>(255, 'a'), 32));
}

}  // namespace
