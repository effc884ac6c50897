#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plotter/finalize_resume_record.h"
#include "plotter/plot_header.h"
#include "plotter/temp_file_header.h"
#include "tests/plotter/plot_test_support.h"

namespace {

// Little-endian field writers over a byte image built by hand.
void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

template <class T>
std::vector<uint8_t> ImageOf(const T& record) {
  return Bytes(&record, sizeof(record));
}

TEST(FileFormats, MagicsAreTheAsciiBytesAsLittleEndianWords) {
  const char plot[] = "VKCPPLOT";
  const char temp[] = "VKCPTEMP";
  uint64_t plotWord = 0;
  uint64_t tempWord = 0;
  std::memcpy(&plotWord, plot, 8);
  std::memcpy(&tempWord, temp, 8);
  EXPECT_EQ(kPlotMagic, plotWord);
  EXPECT_EQ(kTempMagic, tempWord);
  EXPECT_EQ(kPlotMagic, 0x544F4C5050434B56u);
}

// The field offsets are pinned where the records are declared; what a new record holds is not.
TEST(FileFormats, NewFinalizeResumeRecord) {
  std::vector<uint8_t> fresh(40, 0xFF);
  fresh[0] = 5;
  fresh[1] = fresh[2] = fresh[3] = 0;
  Put(fresh, 4, 0, 4);
  Put(fresh, 32, 0, 8);
  EXPECT_EQ(ImageOf(NewFinalizeResumeRecord()), fresh);
}

TEST(FileFormats, RangesFromHeadersNeverWrap) {
  EXPECT_TRUE(FitsInFile(0, 8, 8));
  EXPECT_TRUE(FitsInFile(92, 8, 100));
  EXPECT_FALSE(FitsInFile(93, 8, 100));
  EXPECT_FALSE(FitsInFile(101, 0, 100));
  // offset + 8 wraps to 0 here; it must still be refused.
  EXPECT_FALSE(FitsInFile(~uint64_t{0} - 7, 8, 100));
  EXPECT_FALSE(FitsInFile(~uint64_t{0}, 8, ~uint64_t{0}));
  EXPECT_FALSE(FitsInFile(8, ~uint64_t{0}, 100));

  EXPECT_TRUE(ResumeRecordFits(60, 100));
  EXPECT_FALSE(ResumeRecordFits(61, 100));
  EXPECT_FALSE(ResumeRecordFits(~uint64_t{0} - 20, 100));

  EXPECT_EQ(CompletePlotFileSize(12288), 16384u);
  EXPECT_EQ(CompletePlotFileSize(4088), 4096u);
  EXPECT_EQ(CompletePlotFileSize(4089), 8192u);
}

}  // namespace
