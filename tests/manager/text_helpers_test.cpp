#include "manager/text_helpers.h"

#include <gtest/gtest.h>

TEST(TextHelpers, DurationsStemsAndSuffixes) {
  const std::pair<uint64_t, const char*> durations[] = {{0, "0s"},          {59, "59s"},
                                                        {60, "1m 0s"},      {3600, "1h 0m 0s"},
                                                        {3725, "1h 2m 5s"}, {90061, "25h 1m 1s"}};
  for (const auto& [seconds, text] : durations) EXPECT_EQ(FormatDuration(seconds), text);
  EXPECT_EQ(PathStem("/p/abcdefgh.spt"), "/p/abcdefgh.spt");
  EXPECT_EQ(PathStem("/p/abcdefghi.spt_part"), "/p/abcd...fghi.spt_part");
  EXPECT_EQ(PathStem("/p/0123456789ABCDEF"), "/p/0123...CDEF");
  EXPECT_TRUE(StringEndsWith("/p/x.spt", ".spt"));
  EXPECT_FALSE(StringEndsWith("/p/x.SPT", ".spt"));
  EXPECT_FALSE(StringEndsWith("pt", ".spt"));
  EXPECT_TRUE(StringEndsWith("x", ""));
}
