#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "plotter/header_io.h"
#include "plotter/plot_file.h"
#include "plotter/plot_file_checks.h"
#include "plotter/temp_file_header.h"
#include "runtime/buffer_pool.h"
#include "runtime/direct_file.h"
#include "runtime/io_worker.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/runtime/stream_rig.h"

namespace {

TEST(HeaderIo, SealedPlotHeaderThenMarkerMakesAPlotThatOpens) {
  TestDirectory dir;
  const std::filesystem::path path = dir / "p.fpt_part";
  TestPlot plot = TestPlot::Make({1, 1, 1, 1, 1, 1});
  std::vector<uint8_t> file = plot.FileBytes();
  // A writer at work: closed byte clear, stale marker, and bytes after the header that the
  // header write must keep.
  plot.header.closed = 0;
  plot.header.start.markerValue = 0;
  std::memcpy(file.data(), &plot.header, sizeof(plot.header));
  for (uint64_t i = sizeof(PlotHeader); i < kFinalPlotDataOffset; ++i)
    file[i] = static_cast<uint8_t>(i);
  const uint64_t markerOffset = file.size() - 8;
  std::memset(file.data() + markerOffset, 0xEE, 8);
  WriteWholeFile(path, file);

  std::mt19937_64 random(42);
  std::mt19937_64 oracle(42);
  SealPlotHeader(plot.header, markerOffset, random);
  EXPECT_EQ(plot.header.closed, 1);
  EXPECT_EQ(plot.header.start.markerOffset, markerOffset);
  EXPECT_EQ(plot.header.start.markerValue, oracle());
  {
    StreamRig rig(path, 65536, 4, 4);
    WriteHeaderAtStart(*rig.worker, &plot.header, sizeof(plot.header));
    // The header alone is on disk: the marker does not match yet.
    EXPECT_FALSE(CompletionMarkerMatches(*rig.worker, plot.header.start));
    WriteCompletionMarker(*rig.worker, plot.header.start);
    EXPECT_TRUE(CompletionMarkerMatches(*rig.worker, plot.header.start));
  }

  std::vector<uint8_t> expected = file;
  std::memcpy(expected.data(), &plot.header, sizeof(plot.header));
  const uint64_t value = plot.header.start.markerValue;
  std::memcpy(expected.data() + markerOffset, &value, 8);
  EXPECT_EQ(ReadWholeFile(path), expected);

  TestOwner owner;
  EXPECT_NO_THROW(OpenPlotFile(owner.owner, path, 0));
  EXPECT_TRUE(IsFinalPlotFile(path.string()));
}

TEST(HeaderIo, TempHeaderRoundTripAndMarkersOutsideTheFile) {
  TestDirectory dir;
  const std::filesystem::path path = dir / "VarnokChiaPool.tmp";
  WriteWholeFile(path, std::vector<uint8_t>(3 * 4096, 0x11));

  TempFileHeader h{};
  h.start.magic = kTempMagic;
  h.start.version = 1;
  h.start.markerOffset = 2 * 4096 + 100;  // not block-aligned
  h.start.markerValue = 0;
  h.link = 0xFEEDFACE;
  h.fileCount = 3;
  h.fileIndex = 1;
  h.bucket = -1;
  StreamRig rig(path, 65536, 4, 4);
  WriteHeaderAtStart(*rig.worker, &h, sizeof(h));
  EXPECT_FALSE(CompletionMarkerMatches(*rig.worker, h.start));
  WriteCompletionMarker(*rig.worker, h.start);
  EXPECT_TRUE(CompletionMarkerMatches(*rig.worker, h.start));

  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  ASSERT_EQ(bytes.size(), 3u * 4096);
  EXPECT_EQ(std::memcmp(bytes.data(), &h, sizeof(h)), 0);
  EXPECT_EQ(bytes[sizeof(h)], 0x11);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8292, bytes.begin() + 8300),
            std::vector<uint8_t>(8, 0));
  EXPECT_EQ(bytes[8291], 0x11);
  EXPECT_EQ(bytes[8300], 0x11);
  EXPECT_TRUE(IsUnfinishedPlotOrTemp(path.string()));

  FileStartRecord outside = h.start;
  outside.markerOffset = 3 * 4096 - 7;
  EXPECT_FALSE(CompletionMarkerMatches(*rig.worker, outside));
  outside.markerOffset = ~uint64_t{0} - 3;  // offset + 8 wraps round to a small number
  EXPECT_FALSE(CompletionMarkerMatches(*rig.worker, outside));
  outside.markerOffset = 3 * 4096 - 8;
  outside.markerValue = 0x1111111111111111;
  EXPECT_TRUE(CompletionMarkerMatches(*rig.worker, outside));
}

}  // namespace
