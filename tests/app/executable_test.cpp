// The executable started as a user starts it: arguments, standard streams and exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/app_test_support.h"
#include "tests/runtime/file_test_support.h"
#include "tests/support/run_program.h"
#include "tests/support/time_prefix.h"

using app_test::AddressOf;
using app_test::ExpectedUsage;
using app_test::kAddress;
using app_test::SamplePuzzleHash;

namespace {

const std::string kReleaseProgram = std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool";

}  // namespace

// Smoke runs of the whole program; the in-process tests cover the cases.
TEST(Executable, UsageSelfTestAndStartUpErrors) {
  TestDirectory temp;
  const std::string settings = temp / "cfg";
  ProgramResult result = RunProgram(kReleaseProgram, {"-s", settings, "-h", "--bogus"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, ExpectedUsage(kReleaseProgram));

  result = RunProgram(kReleaseProgram, {"-s", settings, "--bogus"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err,
            kReleaseProgram + ": unrecognized option '--bogus'\n" + ExpectedUsage(kReleaseProgram));

  result = RunProgram(kReleaseProgram, {"-s", settings, "--internal-tests"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "");
  // A run that ends before it starts working never reaches its settings folder.
  EXPECT_FALSE(std::filesystem::exists(settings));

  result = RunProgram(kReleaseProgram, {"-s", settings, "-a", kAddress});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(MarkTimes(result.out),
            (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                      "<time> ERROR: At least one directory should be specified"}));
  EXPECT_EQ(result.err, "");
}
