#include "manager/directory_spec.h"
#include "tests/support/thrown_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int64_t kOneGiB = int64_t{1} << 30;
constexpr int64_t kTiB = int64_t{1} << 40;

// The message the parse refuses with, or nothing when it accepts.
std::string Refusal(const char* items, const char* path = "/plots") {
  return ThrownText<std::runtime_error>([&] { ParseDirectorySpec(items, path); });
}

DirectorySpec Spec(int64_t space, int64_t count, bool t, bool f, bool s, bool r) {
  DirectorySpec spec;
  spec.path = "/plots";
  spec.spaceLimit = space;
  spec.PlotCountLimit = count;
  spec.tempFilesAllowed = t;
  spec.finalPlotsAllowed = f;
  spec.sparsePlotsAllowed = s;
  spec.readOnly = r;
  return spec;
}

}  // namespace

TEST(DirectorySpec, AcceptedItems) {
  struct Case {
    const char* items;
    DirectorySpec expected;
  };
  const std::vector<Case> cases = {
      {nullptr, Spec(-1, -1, true, true, true, false)},
      {"", Spec(-1, -1, true, true, true, false)},
      {",", Spec(-1, -1, true, true, true, false)},
      {"R", Spec(-1, -1, false, false, false, true)},
      {"r", Spec(-1, -1, false, false, false, true)},
      {"~T", Spec(-1, -1, false, true, true, false)},
      {"~sf", Spec(-1, -1, true, false, false, false)},
      {"TF", Spec(-1, -1, true, true, false, false)},
      {"tt", Spec(-1, -1, true, false, false, false)},
      {"500g", Spec(500 * kOneGiB, -1, true, true, true, false)},
      {"1.5T", Spec(3 * kTiB / 2, -1, true, true, true, false)},
      {"1.5TiB", Spec(3 * kTiB / 2, -1, true, true, true, false)},
      {"7b", Spec(7, -1, true, true, true, false)},
      {".5K", Spec(512, -1, true, true, true, false)},
      {"10n", Spec(-1, 10, true, true, true, false)},
      {"0N", Spec(-1, 0, true, true, true, false)},
      {"1e2N", Spec(-1, 100, true, true, true, false)},
      {"T,,100G", Spec(100 * kOneGiB, -1, true, false, false, false)},
      {",1TB,ts,", Spec(kTiB, -1, true, false, true, false)},
      {"4TB,20N,~t", Spec(4 * kTiB, 20, false, true, true, false)},
      {"r,3n", Spec(-1, 3, false, false, false, true)},
      // Limits beyond what 63 bits hold are no limit at all.
      {"1e30PB", Spec(-1, -1, true, true, true, false)},
      {"1e300N", Spec(-1, -1, true, true, true, false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items ? c.items : "(none)");
    EXPECT_EQ(ParseDirectorySpec(c.items, "/plots"), c.expected);
  }
}

TEST(DirectorySpec, RefusalsAndWhichWins) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      // Two type items are refused as such before their mix is judged.
      {"R,S", "Directory type specified more than once"},
      {"RS", "Readonly directory type can't mix with other types"},
      {"~", "Unknown directory type: ~"},
      {"~r", "Unknown directory type: ~r"},
      {"~x", "Unknown directory type: x"},
      {"X", "Unknown directory type: X"},
      {"tq", "Unknown directory type: q"},
      {"+5G", "Unknown directory type: +"},
      {"T,F", "Directory type specified more than once"},
      {"T,~s", "Directory type specified more than once"},
      {"100", "Directory space declaration requires a suffix"},
      {"100q", "Unknown directory space suffix: q"},
      {"5Gx", "Unknown directory space suffix: Gx"},
      {"-", "Unknown directory space suffix: -"},
      {".", "Unknown directory space suffix: ."},
      {"2.5N", "Plot count limit must be integer"},
      {"2.0N", "Plot count limit must be integer"},
      {"10N,20N", "Plot count limit specified more than once"},
      {"1T,2G", "Directory size limit specified more than once"},
      {"-5G", "Directory space limit can't be negative"},
      {"-5N", "Directory space limit can't be negative"},
      {"-nanG", "Directory space limit can't be negative"},
      // The first bad item wins; the mix of types is judged after all items.
      {"X,100", "Unknown directory type: X"},
      {"100,X", "Directory space declaration requires a suffix"},
      {"RS,100q", "Unknown directory space suffix: q"},
      {"R,T,T", "Directory type specified more than once"},
  };
  for (const auto& [items, message] : cases) {
    SCOPED_TRACE(items);
    EXPECT_EQ(Refusal(items), message);
  }
  // A missing path, or the next option in its place, is refused before any item.
  EXPECT_EQ(Refusal("X,-5G", nullptr), "Empty directory path");
  EXPECT_EQ(Refusal("X", "-a"), "Empty directory path");
  EXPECT_EQ(Refusal(nullptr, ""), "Empty directory path");
  EXPECT_EQ(Refusal("X", ""), "Unknown directory type: X");
}
