#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "runtime/path_utils.h"
#include "runtime/text_utils.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_directory.h"

TEST(FormatGiB, TwoDecimalsOfBinaryGigabytes) {
  EXPECT_EQ(FormatGiB(0), "0.00");
  EXPECT_EQ(FormatGiB(1073741824), "1.00");
  EXPECT_EQ(FormatGiB(536870912), "0.50");
  EXPECT_EQ(FormatGiB(1610612736), "1.50");
  EXPECT_EQ(FormatGiB(UINT64_MAX), "17179869184.00");
  // Rounding to the nearest hundredth: 1.005 GiB is just above 1.005 in binary.
  EXPECT_EQ(FormatGiB(1073741824 + 5368709 + 1), "1.01");
  EXPECT_EQ(FormatGiB(1073741824ull * 12 + 536870912), "12.50");
  EXPECT_EQ(FormatGiB(1), "0.00");
}

TEST(Hex, MatchesPrintfDigits) {
  const uint8_t zeros[32] = {};
  EXPECT_EQ(ToHexUpper(zeros), std::string(64, '0'));

  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    uint8_t bytes[32];
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    std::string upper, lower;
    for (uint8_t b : bytes) {
      char two[3];
      std::snprintf(two, sizeof two, "%02X", b);
      upper += two;
      std::snprintf(two, sizeof two, "%02x", b);
      lower += two;
    }
    EXPECT_EQ(ToHexUpper(bytes), upper);
    EXPECT_EQ(ToHexUpper(bytes, 32), upper);
    EXPECT_EQ(ToHexLower(bytes, 32), lower);
    EXPECT_EQ(ToHexUpper(bytes, 5), upper.substr(0, 10));
  }
  EXPECT_EQ(ToHexUpper(zeros, 0), "");
}

TEST(MakeTempPath, NamesFileAfterHashInTempDirectory) {
  const TestDirectory scratch;
  const std::filesystem::path& dir = scratch.Path();
  std::array<uint8_t, 20> hash{};
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0xAB + 17 * i);
  {
    ScopedEnv tmpdir("TMPDIR", dir.c_str());
    const std::filesystem::path path = MakeTempPath(hash);
    EXPECT_EQ(path.parent_path(), dir);
    EXPECT_EQ(path.filename().string(), ToHexLower(hash.data(), hash.size()));
    EXPECT_EQ(path.filename().string().size(), 40u);
    EXPECT_EQ(path.filename().string().substr(0, 4), "abbc");
  }
  {
    // TMP is consulted only when TMPDIR is unset.
    ScopedEnv tmpdir("TMPDIR", nullptr);
    ScopedEnv tmp("TMP", dir.c_str());
    EXPECT_EQ(MakeTempPath(hash).parent_path(), dir);
  }
  {
    ScopedEnv tmpdir("TMPDIR", (dir / "missing").c_str());
    EXPECT_THROW(MakeTempPath(hash), std::filesystem::filesystem_error);
  }
}

