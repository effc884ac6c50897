#include "runtime/bucket_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/runtime/bucket_writer_rig.h"
#include "tests/support/thrown_text.h"

namespace {

using Sink = RecordingSink<uint32_t>;

TEST(BucketWriter, HandsOnExactlySixtyFourAndKeepsTheRest) {
  auto o = std::make_unique<OwnedBucketWriter<256>>();
  Sink sink;
  EXPECT_TRUE(o->w.Empty());
  o->w.Bind(&sink);
  EXPECT_FALSE(o->w.Empty());
  for (uint32_t i = 0; i < 63; ++i) o->w.Stage<4>(200, &i);
  EXPECT_TRUE(sink.batches.empty());
  EXPECT_EQ(o->w.counts[200], 63u);
  uint32_t v = 63;
  o->w.Stage<4>(200, &v);
  ASSERT_EQ(sink.batches.size(), 1u);
  EXPECT_EQ(sink.batches[0].bucket, 200u);
  ASSERT_EQ(sink.batches[0].entries.size(), 64u);
  for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(sink.batches[0].entries[i], i);
  EXPECT_EQ(o->w.counts[200], 0u);
  // Slot s starts at byte s * 2048 whatever the entry width, and the buffer is exactly the
  // slots' size (256 KiB for 128 slots, 512 KiB for 256), as the engines' estimates count it.
  EXPECT_EQ(o->w.buffer.Count(), 524288u);
  EXPECT_EQ(OwnedBucketWriter<128>().w.buffer.Count(), 262144u);
  uint32_t a = 0xAAAA, b = 0xBBBB;
  o->w.Stage<4>(0, &a);
  o->w.Stage<4>(1, &b);
  uint32_t got;
  std::memcpy(&got, o->w.buffer.Data() + 2048, 4);
  EXPECT_EQ(got, 0xBBBBu);
  // Flush: partial slots in slot order, then unbound and empty.
  o->w.Stage<4>(255, &a);
  o->w.Flush();
  ASSERT_EQ(sink.batches.size(), 4u);
  EXPECT_EQ(sink.batches[1].bucket, 0u);
  EXPECT_EQ(sink.batches[2].bucket, 1u);
  EXPECT_EQ(sink.batches[3].bucket, 255u);
  EXPECT_EQ(sink.batches[3].entries, std::vector<uint32_t>{0xAAAA});
  EXPECT_TRUE(o->w.Empty());
}

TEST(BucketWriter, RefusesMisuseBeforeAnyEntryMoves) {
  auto o = std::make_unique<OwnedBucketWriter<128>>();
  Sink sink, other;
  EXPECT_EQ(ThrownText([&] { o->w.Flush(); }), "0D86FEB5");
  o->w.Bind(&sink);
  EXPECT_EQ(ThrownText([&] { o->w.Bind(&other); }), "628B520A");
  uint32_t v = 1;
  o->w.Stage<4>(5, &v);
  o->w.sink = nullptr;  // left with staged entries but no sink
  EXPECT_EQ(ThrownText([&] { o->w.Bind(&other); }), "2CE9ACE7");
  EXPECT_TRUE(sink.batches.empty());
  EXPECT_TRUE(other.batches.empty());
  EXPECT_EQ(o->w.counts[5], 1u);
}

}  // namespace
