// The self-test passes on a correct build; a failed check aborts with the fixed text.
#include "chia/self_test.h"

#include <gtest/gtest.h>

#include "chia/chia_address.h"
#include "tests/chia/bls_test_support.h"

TEST(SelfTest, PassesAndAbortsWithItsTextOnAMismatch) {
  EXPECT_NO_THROW(RunSelfTest());
  EXPECT_NO_THROW(SelfTestPlotKeys());
  EXPECT_NO_THROW(SelfTestRsa());
  SelfTestAssert(true);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SelfTestAssert(false), "^runtime assertion$");
}

TEST(SelfTest, FixedAddressIsTheIndependentEncodingOfItsPuzzleHash) {
  // The address and puzzle hash the self-test stores.
  const std::string hashHex = "d21aae16b7ddff9489a34609dff510b06d661406384763ded42fc8b73813ee70";
  const std::string address = "xch16gd2u94hmhlefzdrgcyalagskpkkv9qx8prk8hk59lytwwqnaecqjzp9vc";
  auto lines = blstest::RunOracle("bls_oracle.mjs", {"xch", hashHex});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], address);
  uint8_t hash[32];
  ASSERT_TRUE(DecodeChiaAddress(address, hash));
  EXPECT_EQ(ToHex(std::vector<uint8_t>(hash, hash + 32)), hashHex);
}
