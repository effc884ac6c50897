#include <gtest/gtest.h>

#include <set>
#include <string>

#include "runtime/file_error_texts.h"
#include "runtime/size_suffix_table.h"

TEST(SizeSuffixTable, LooksUpInAnyCase) {
  EXPECT_EQ(FindSizeSuffix("b"), 1);
  EXPECT_EQ(FindSizeSuffix("n"), kPlotCountSuffix);
  for (const char* refused : {"", "X", "KIBB", "IB", "NB"}) {
    EXPECT_EQ(FindSizeSuffix(refused), std::nullopt) << refused;
  }
  // Each of K M G T P, alone or with B or IB, in lower and upper case: 2^10 .. 2^50.
  const std::string letters = "kmgtp";
  for (size_t i = 0; i < letters.size(); ++i) {
    const int64_t expected = int64_t{1} << (10 * (i + 1));
    for (const char* tail : {"", "b", "ib", "B", "IB", "iB"}) {
      for (char letter : {letters[i], static_cast<char>(letters[i] - 'a' + 'A')}) {
        EXPECT_EQ(FindSizeSuffix(std::string(1, letter) + tail), expected) << letter << tail;
      }
    }
  }
  EXPECT_EQ(SizeSuffixTable.size(), 17u);
}

TEST(FileErrorTexts, TextsAndCodedMessages) {
  EXPECT_EQ(FileErrorText(FileError::kInvalidTempFile, "44330887"), "invalid temp file: 44330887");
  EXPECT_EQ(FileErrorText(FileError::kInvalidPlotFile, "52ADDDEC"), "invalid plot file: 52ADDDEC");
  EXPECT_EQ(FileErrorText(FileError::kFailedToAllocateMemory, "72F8F5E5"),
            "failed to allocate memory: 72F8F5E5");
  std::set<std::string> distinct(FileErrorTexts.begin(), FileErrorTexts.end());
  EXPECT_EQ(distinct.size(), FileErrorTexts.size());
}
