#include "plotter/engine_buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "plotter/plot_scale.h"
#include "tests/runtime/fake_system_memory.h"

namespace {

bool AllZero(const void* data, uint64_t bytes) {
  const auto* p = static_cast<const uint8_t*>(data);
  return std::all_of(p, p + bytes, [](uint8_t b) { return b == 0; });
}

// Each record is made from two arenas; every allocation fails in turn and nothing stays behind.
TEST(EngineBuffers, RecordsComeOutReadyAndUnwindEveryFailedAllocation) {
  struct Row {
    int allocations;
    std::function<void(CountingArena&, CountingArena&)> make;
  };
  const std::vector<Row> rows = {
      {2, [](CountingArena& o, CountingArena& b) {
         auto w = AllocateBlockBuffer(o, b);
         EXPECT_TRUE(w->Empty());
         EXPECT_EQ(w->buffer.Count(), 262144u);
         EXPECT_EQ(w->buffer.Arena(), &b);
         ReleaseBufferDescriptor(w);
         EXPECT_EQ(w, nullptr);
       }},
      {2, [](CountingArena& o, CountingArena& b) {
         auto w = AllocateBlockBufferZeroed(o, b);
         EXPECT_TRUE(w->Empty());
         EXPECT_TRUE(AllZero(w->buffer.Data(), 262144));
       }},
      {1, [](CountingArena& o, CountingArena& b) {
         auto s = AllocateMatchScratch(o, b);
         EXPECT_TRUE(AllZero(s->index, sizeof(s->index)));
         EXPECT_EQ(s->nodeCount, 0u);
       }},
      {4, [](CountingArena& o, CountingArena& b) {
         OwnedArray<BucketWriter<128>> array;
         array.Allocate(o, 3);
         EXPECT_THROW(array.Allocate(o, 3), std::runtime_error);
         for (uint64_t i = 0; i < 2; ++i) array.Set(i, AllocateBlockBuffer(o, b));
         EXPECT_EQ(array[2], nullptr);
         DestroyBucketWriterArray128(array);
         EXPECT_FALSE(array.Held());
       }},
  };
  for (size_t r = 0; r < rows.size(); ++r) {
    int failures = 0;
    for (int side = 0; side < 2; ++side) {
      for (int fail = 1; fail <= rows[r].allocations; ++fail) {
        CountingArena objects, buffers;
        (side == 0 ? objects : buffers).failFrom = fail;
        try {
          rows[r].make(objects, buffers);
        } catch (const std::bad_alloc&) {
          ++failures;
        }
        EXPECT_EQ(objects.outstanding + buffers.outstanding, 0) << r << " " << side << " " << fail;
      }
    }
    EXPECT_GE(failures, rows[r].allocations) << "row " << r;
  }
}

TEST(PlotScale, RemapKeepsBucketAndRestAndSqueezesTheGroup) {
  const PlotScale thin = PlotScale::WithShift(10);
  EXPECT_EQ(thin.groups, 138u);
  EXPECT_EQ(PlotScale::Production(), (PlotScale{0, 142096}));
  EXPECT_THROW(PlotScale::WithShift(17), std::runtime_error);
  std::mt19937_64 random(7);
  std::vector<uint64_t> ys = {0, 15112, 142095ull * 15113 + 15112, 142096ull * 15113,
                              (uint64_t{1} << 38) - 1};
  for (int i = 0; i < 1000; ++i) ys.push_back(random() >> 26);
  for (uint64_t y : ys) {
    EXPECT_EQ(PlotScale::Production().RemapY(y), y);
    const uint64_t g = y / 15113, b = g / 142096, l = g % 142096;
    const uint64_t want = (b * 142096 + l * 138 / 142096) * 15113 + y % 15113;
    EXPECT_EQ(thin.RemapY(y), want) << y;
  }
  EXPECT_EQ(thin.RemapY(142095ull * 15113) / 15113, 137u);
  EXPECT_TRUE(thin.KeepsF1Block(0));
  EXPECT_TRUE(thin.KeepsF1Block(3072));
  EXPECT_FALSE(thin.KeepsF1Block(1023));
  EXPECT_TRUE(PlotScale::Production().KeepsF1Block(1023));
  EXPECT_EQ(thin.StreamBlockBytes(), 4096u);
  EXPECT_EQ(PlotScale::Production().StreamBlockBytes(), 1048576u);
}

}  // namespace
