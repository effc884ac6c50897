// The self-test passes on a correct build; a failed check aborts with the fixed text.
#include "chia/self_test.h"

#include <gtest/gtest.h>

TEST(SelfTest, PassesAndAbortsWithItsTextOnAMismatch) {
  EXPECT_NO_THROW(RunSelfTest());
  EXPECT_NO_THROW(SelfTestPlotKeys());
  EXPECT_NO_THROW(SelfTestRsa());
  SelfTestAssert(true);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(SelfTestAssert(false), "^runtime assertion$");
}
