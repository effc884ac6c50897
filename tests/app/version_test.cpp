#include <gtest/gtest.h>

#include <string>

#include "runtime/version.h"
#include "tests/support/run_program.h"

TEST(Version, LineNamesProgramAndVersion) {
  EXPECT_EQ(VersionLine(), "VarnokChiaPool version 1.3");
}

TEST(Version, ExecutablePrintsVersionLine) {
  // Its own settings folder, never the user's.
  const TestDirectory folder;
  const ProgramResult run = RunProgram(std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool",
                                       {"-s", folder.Path().string()});
  EXPECT_EQ(run.out.substr(0, 27), "VarnokChiaPool version 1.3\n") << run.out;
}
