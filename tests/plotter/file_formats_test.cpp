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

template <class T>
T FromImage(const std::vector<uint8_t>& bytes) {
  T record;
  std::memcpy(&record, bytes.data(), sizeof(T));
  return record;
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

TEST(FileFormats, PlotHeaderBytesSitAtTheirOffsets) {
  PlotHeader h{};
  h.start.magic = kPlotMagic;
  h.start.version = 1;
  h.start.markerOffset = 0x0102030405060708;
  h.start.markerValue = 0xF1F2F3F4F5F6F7F8;
  h.sparse = 1;
  h.complete = 2;
  h.closed = 3;
  h.level = 4;
  h.keyBlockFlag = 5;
  h.link = 0xAABBCCDDEEFF0011;
  h.creationTime = 1700000123;
  for (int i = 0; i < 32; ++i) h.plotId[i] = static_cast<uint8_t>(i + 1);
  for (int i = 0; i < 512; ++i) h.keyBlock[i] = static_cast<uint8_t>(i * 7);
  for (int t = 0; t < 6; ++t) {
    PlotTableRecord& r = h.tables[t];
    r.offset = 0x1000u * (t + 3);
    r.entryCount = 0x100000000u - t;
    r.blockCount = 0x80000u - t;
    r.coding.rawBits = static_cast<uint8_t>(40 + t);
    for (int s = 0; s < 256; ++s) r.coding.counts[s] = static_cast<int16_t>(s - 1 - t);
    r.index.scale = 0x123456789ABCDEF0u + t;
    for (int k = 0; k < 256; ++k) {
      r.index.pairs[k].low = static_cast<int16_t>(-k - t);
      r.index.pairs[k].high = static_cast<int16_t>(k + t);
    }
  }

  std::vector<uint8_t> expected(10056, 0);
  std::memcpy(expected.data(), "VKCPPLOT", 8);
  expected[8] = 1;
  Put(expected, 16, 0x0102030405060708, 8);
  Put(expected, 24, 0xF1F2F3F4F5F6F7F8, 8);
  expected[32] = 1;
  expected[33] = 2;
  expected[34] = 3;
  expected[35] = 4;
  expected[36] = 5;
  Put(expected, 40, 0xAABBCCDDEEFF0011, 8);
  Put(expected, 48, 1700000123, 8);
  for (int i = 0; i < 32; ++i) expected[56 + i] = static_cast<uint8_t>(i + 1);
  for (int i = 0; i < 512; ++i) expected[88 + i] = static_cast<uint8_t>(i * 7);
  for (int t = 0; t < 6; ++t) {
    const size_t base = 600 + 1576 * t;
    Put(expected, base, 0x1000u * (t + 3), 8);
    Put(expected, base + 8, 0x100000000u - t, 8);
    Put(expected, base + 16, 0x80000u - t, 4);
    expected[base + 24] = static_cast<uint8_t>(40 + t);
    for (int s = 0; s < 256; ++s)
      Put(expected, base + 32 + 2 * s, static_cast<uint16_t>(s - 1 - t), 2);
    Put(expected, base + 544, 0x123456789ABCDEF0u + t, 8);
    for (int k = 0; k < 256; ++k) {
      Put(expected, base + 552 + 4 * k, static_cast<uint16_t>(-k - t), 2);
      Put(expected, base + 554 + 4 * k, static_cast<uint16_t>(k + t), 2);
    }
  }
  EXPECT_EQ(ImageOf(h), expected);

  const PlotHeader back = FromImage<PlotHeader>(expected);
  EXPECT_EQ(back.link, h.link);
  EXPECT_EQ(back.tables[5].index.pairs[255].low, -260);
  EXPECT_EQ(back.tables[3].coding.counts[0], -4);
  EXPECT_EQ(ImageOf(back), expected);
}

TEST(FileFormats, TempHeaderBytesSitAtTheirOffsets) {
  TempFileHeader h{};
  h.start.magic = kTempMagic;
  h.start.version = 1;
  h.start.markerOffset = 0x7000;
  h.link = 0x0A0B0C0D0E0F1011;
  h.fileCount = 16;
  h.fileIndex = 15;
  h.complete = 1;
  h.saved = 1;
  h.step = 6;
  h.subStep = 1;
  h.bucket = 127;
  h.level = 3;
  h.runningTotal = 0x100000000;
  for (int i = 0; i < 32; ++i) h.plotId[i] = static_cast<uint8_t>(0xC0 + i);
  h.ranges[0] = 11;
  h.ranges[1] = 22;
  h.ranges[2] = 33;
  h.encoderStateLength = 0x5566;
  for (int i = 0; i < 128; ++i) {
    h.counts[0][i] = 0x01000000u + i;
    h.counts[1][i] = 0x02000000u + i;
  }

  std::vector<uint8_t> expected(1144, 0);
  std::memcpy(expected.data(), "VKCPTEMP", 8);
  expected[8] = 1;
  Put(expected, 16, 0x7000, 8);
  Put(expected, 32, 0x0A0B0C0D0E0F1011, 8);
  expected[40] = 16;
  expected[41] = 15;
  expected[42] = 1;
  expected[43] = 1;
  expected[44] = 6;
  expected[45] = 1;
  expected[46] = 127;
  expected[47] = 3;
  Put(expected, 48, 0x100000000, 8);
  for (int i = 0; i < 32; ++i) expected[56 + i] = static_cast<uint8_t>(0xC0 + i);
  Put(expected, 88, 11, 8);
  Put(expected, 96, 22, 8);
  Put(expected, 104, 33, 8);
  Put(expected, 112, 0x5566, 8);
  for (int i = 0; i < 128; ++i) {
    Put(expected, 120 + 4 * i, 0x01000000u + i, 4);
    Put(expected, 120 + 512 + 4 * i, 0x02000000u + i, 4);
  }
  EXPECT_EQ(ImageOf(h), expected);

  // The bucket is signed: a byte of 0xFF reads back as -1.
  expected[46] = 0xFF;
  const TempFileHeader back = FromImage<TempFileHeader>(expected);
  EXPECT_EQ(back.bucket, -1);
  EXPECT_EQ(back.counts[1][127], 0x0200007Fu);
}

TEST(FileFormats, FinalizeResumeRecordBytesAndTheNewRecord) {
  FinalizeResumeRecord r{};
  r.table = 4;
  r.pass = 1;
  r.blockCounter = 0x00C0FFEE;
  r.bitmapAOffset = 0x1111;
  r.bitmapBOffset = 0x2222;
  r.encoderStateOffset = 0x3333;
  r.encoderStateLength = 0x4444;
  std::vector<uint8_t> expected(40, 0);
  expected[0] = 4;
  expected[1] = 1;
  Put(expected, 4, 0x00C0FFEE, 4);
  Put(expected, 8, 0x1111, 8);
  Put(expected, 16, 0x2222, 8);
  Put(expected, 24, 0x3333, 8);
  Put(expected, 32, 0x4444, 8);
  EXPECT_EQ(ImageOf(r), expected);

  std::vector<uint8_t> fresh(40, 0xFF);
  fresh[0] = 5;
  fresh[1] = 0;
  fresh[2] = fresh[3] = 0;
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
