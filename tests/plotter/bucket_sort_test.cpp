#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

#include "plotter/distribution_pass.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/runtime/bucket_writer_rig.h"
#include "tests/thrown_text.h"

namespace {

using SortFn = void (*)(void*, uint64_t, void*, uint64_t*, uint64_t*);

uint64_t GroupOf(const uint8_t* record, uint64_t width) {
  uint64_t key = 0;
  std::memcpy(&key, record, width <= 12 ? 4 : 8);
  return width <= 12 ? key >> 14 : (key >> 14) & 0x1FFFF;
}

// Random records, then 32 records in coarse group 1, 33 in coarse group 2 and one in group 555.
TEST(SortBucketRecords, GroupsComeOutInOrderWithTheirTable) {
  const std::pair<uint64_t, SortFn> rows[] = {{8, SortBucketRecords8},
                                              {12, SortBucketRecords12},
                                              {16, SortBucketRecords16},
                                              {20, SortBucketRecords20},
                                              {24, SortBucketRecords24}};
  for (auto [width, sort] : rows) {
    for (uint64_t randomCount : {uint64_t{0}, uint64_t{20000}}) {
      std::mt19937_64 random(width + randomCount);
      std::vector<uint64_t> groups;
      for (uint64_t i = 0; i < randomCount; ++i) groups.push_back(random() % 556);
      for (uint64_t i = 0; i < 32 && randomCount == 0; ++i) groups.push_back(4 + i % 4);
      for (uint64_t i = 0; i < 33 && randomCount == 0; ++i) groups.push_back(8 + i % 3);
      if (randomCount == 0) groups.push_back(555);
      const uint64_t n = groups.size();
      std::vector<uint8_t> data(n * width), scratch(n * width);
      std::vector<uint64_t> start(556), length(556), want(556);
      for (uint64_t i = 0; i < n; ++i) {
        uint8_t* record = &data[i * width];
        for (uint64_t b = 0; b < width; ++b) record[b] = static_cast<uint8_t>(random());
        const uint64_t key = (random() % 15113) | groups[i] << 14 | (width > 12 ? random() << 31 : 0);
        std::memcpy(record, &key, width <= 12 ? 4 : 8);
        ++want[groups[i]];
      }
      std::vector<std::vector<uint8_t>> before;
      for (uint64_t i = 0; i < n; ++i) before.emplace_back(&data[i * width], &data[i * width] + width);
      sort(data.data(), n, scratch.data(), start.data(), length.data());
      std::vector<std::vector<uint8_t>> after;
      for (uint64_t i = 0; i < n; ++i) {
        after.emplace_back(&data[i * width], &data[i * width] + width);
        if (i > 0) {
          EXPECT_LE(GroupOf(&data[(i - 1) * width], width), GroupOf(&data[i * width], width));
        }
      }
      std::sort(before.begin(), before.end());
      std::sort(after.begin(), after.end());
      EXPECT_EQ(after, before) << width;
      EXPECT_EQ(length, want);
      for (uint64_t g = 1; g < 556; ++g) EXPECT_EQ(start[g], start[g - 1] + want[g - 1]);
      EXPECT_EQ(start[0], 0u);
      const uint64_t bad = uint64_t{556} << 14;
      std::memcpy(data.data(), &bad, 4);
      EXPECT_EQ(ThrownText([&] { sort(data.data(), n, scratch.data(), start.data(), length.data()); }),
                "invalid temp file: C2D541B9");
    }
  }
}

template <uint64_t In, uint64_t Out>
void CheckRegroup(RegroupKernel kernel, uint64_t base) {
  std::mt19937_64 random(In);
  std::vector<std::vector<uint8_t>> buckets(256);
  std::vector<uint64_t> counts(256), start(256);
  std::vector<std::pair<uint64_t, std::array<uint8_t, Out>>> want, got;
  for (uint64_t b = 0; b < 256; ++b) counts[b] = random() % 300;
  BucketStarts(counts.data(), base, start.data());
  std::vector<uint8_t*> data;
  for (uint64_t b = 0; b < 256; ++b) {
    buckets[b].resize(counts[b] * In);
    for (uint8_t& byte : buckets[b]) byte = static_cast<uint8_t>(random());
    data.push_back(buckets[b].data());
    for (uint64_t j = 0; j < counts[b]; ++j) {
      const uint8_t* e = &buckets[b][j * In];
      uint32_t k;
      uint64_t v, idx = start[b] + j;
      std::memcpy(&k, e, 4);
      std::memcpy(&v, e + 4, 8);
      std::array<uint8_t, Out> out{};
      const uint64_t head = In == 12 ? (uint64_t{k % (1u << 25)} << 32 | idx) : (idx << 32 | k);
      std::memcpy(out.data(), &head, 8);
      std::memcpy(out.data() + 8, e + 12, Out - 8);
      want.emplace_back(In == 12 ? k >> 25 : v >> 57, out);
    }
  }
  auto pool = ThreadPool::Create(HeapArena(), 2, nullptr, 0);
  OwnedArray<BucketWriter<128>> writers;
  writers.Allocate(HeapArena(), 2);
  RecordingSink<std::array<uint8_t, Out>> sink;
  for (uint64_t w = 0; w < 2; ++w) {
    writers.Set(w, AllocateBlockBuffer(HeapArena(), HeapArena()));
    writers[w]->Bind(&sink);
  }
  RegroupJob job{data.data(), counts.data(), start.data()};
  const std::string thrown = ThrownText([&] { RunRegroup(*pool, writers, job, kernel); });
  if (base > 0xFFFFFFFFu - 300) {
    EXPECT_EQ(thrown, "3D9A6E15");
    return;
  }
  for (uint64_t w = 0; w < 2; ++w) writers[w]->Flush();
  for (auto& batch : sink.batches) {
    for (auto& e : batch.entries) got.emplace_back(batch.bucket, e);
  }
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want) << In;
}

TEST(RegroupEntries, EachEntryGetsItsIndexAndNextBucket) {
  CheckRegroup<12, 8>(RegroupEntries12, 5);
  CheckRegroup<20, 16>(RegroupEntries20, 1000);
  CheckRegroup<24, 20>(RegroupEntries24, 0);
  CheckRegroup<28, 24>(RegroupEntries28, uint64_t{1} << 31);
  CheckRegroup<28, 24>(RegroupEntries28, 0xFFFFFFFFu);
}

}  // namespace
