#include "plotter/engine_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "plotter/plot_scale.h"
#include "tests/support/fault_arena.h"

namespace {

// What the records promise beyond their size: zeroed memory where asked, and a release that
// hands the buffer back whole. Their failure paths are run by the engine's unwinding test.
TEST(EngineBuffers, ZeroedRecordsAndWholeRelease) {
  FaultArena objects, buffers;
  auto zeroed = AllocateBlockBufferZeroed(objects, buffers);
  auto scratch = AllocateMatchScratch(objects, buffers);
  const uint8_t* z = zeroed->buffer.Data();
  EXPECT_TRUE(std::all_of(z, z + zeroed->buffer.Count(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(scratch->index, scratch->index + kMatchIndexSize,
                          [](uint16_t v) { return v == 0; }));
  EXPECT_EQ(zeroed->buffer.Arena(), &buffers);
  ReleaseBufferDescriptor(zeroed);
  EXPECT_EQ(zeroed, nullptr);
  EXPECT_EQ(objects.outstanding + buffers.outstanding, 1);
}

TEST(PlotScale, RemapKeepsBucketAndRestAndSqueezesTheGroup) {
  const PlotScale thin = PlotScale::WithShift(10);
  EXPECT_THROW(PlotScale::WithShift(17), std::runtime_error);
  std::mt19937_64 random(7);
  std::vector<uint64_t> ys = {0, 15112, 142095ull * 15113 + 15112, 142096ull * 15113,
                              (uint64_t{1} << 38) - 1};
  for (int i = 0; i < 1000; ++i) ys.push_back(random() >> 26);
  for (uint64_t y : ys) {
    EXPECT_EQ(PlotScale::Production().RemapY(y), y);
    const uint64_t g = y / 15113, b = g / 142096, l = g % 142096;
    EXPECT_EQ(thin.RemapY(y), (b * 142096 + l * 138 / 142096) * 15113 + y % 15113) << y;
  }
  EXPECT_TRUE(thin.KeepsF1Block(0) && thin.KeepsF1Block(3072) && !thin.KeepsF1Block(1023));
  EXPECT_TRUE(PlotScale::Production().KeepsF1Block(1023));
}

}  // namespace
