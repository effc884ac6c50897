#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "runtime/version.h"
#include "tests/runtime/file_test_support.h"

namespace {

std::string RunAndCapture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  std::array<char, 256> chunk;
  while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) out.append(chunk.data(), n);
  pclose(pipe);
  return out;
}

}  // namespace

TEST(Version, LineNamesProgramAndVersion) {
  EXPECT_EQ(VersionLine(), "VarnokChiaPool version 1.3");
}

TEST(Version, ExecutablePrintsVersionLine) {
  // Its own settings folder, never the user's.
  const TestDirectory folder;
  const std::string out = RunAndCapture(std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool -s " +
                                        folder.Path().string() + " 2>/dev/null");
  EXPECT_EQ(out.substr(0, 27), "VarnokChiaPool version 1.3\n") << out;
}
