#include <gtest/gtest.h>

#include "runtime/version.h"

TEST(Version, LineNamesProgramAndVersion) {
  EXPECT_EQ(VersionLine(), "VarnokChiaPool version 1.3");
}
