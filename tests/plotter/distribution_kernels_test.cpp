#include "plotter/distribution_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <random>

#include "plotter/distribution_pass.h"
#include "plotter/match_kernels.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/runtime/bucket_writer_rig.h"
#include "tests/support/thrown_text.h"

namespace {

using Entry = std::vector<uint8_t>;
using Buckets = std::vector<std::vector<Entry>>;
enum class Kind { kGroup32, kGroup64, kValue, kScatter };
constexpr uint64_t kLow56 = (uint64_t{1} << 56) - 1;

uint64_t Get(const uint8_t* p, uint64_t n) {
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}
void Put(uint8_t* p, uint64_t n, uint64_t v) { std::memcpy(p, &v, n); }
// Byte order of entries that all have one width.
bool ByBytes(const Entry& a, const Entry& b) {
  return std::memcmp(a.data(), b.data(), a.size()) < 0;
}
std::vector<Entry> Sorted(const uint8_t* p, uint64_t n, uint64_t width) {
  std::vector<Entry> out;
  for (uint64_t i = 0; i < n; ++i) out.emplace_back(p + i * width, p + i * width + width);
  std::sort(out.begin(), out.end(), ByBytes);
  return out;
}

// The bucket of an entry, rewriting it, straight from the rules with plain division.
uint64_t Reference(Kind kind, Entry& e, uint64_t r) {
  if (kind == Kind::kScatter) return Get(&e[0], 8) >> 49;
  const uint64_t v = kind == Kind::kValue ? Get(&e[4], 8) : 0, g = Get(&e[0], 4) >> 14;
  if (kind == Kind::kValue) {
    Put(&e[4], 8, (v & ~kLow56) | (v & kLow56) % r);
    return (v & kLow56) / r;
  }
  Put(&e[0], 4, (Get(&e[0], 4) & 0x3FFF) | (g % 556) << 14);
  return g / 556;
}

// Random entries with the edge values of each rule every few entries.
std::vector<Entry> Make(Kind kind, uint64_t width, uint64_t n, uint64_t limit, uint64_t r) {
  std::mt19937_64 random(n + limit + width);
  const Entry bytes = RandomBytes(n * width, n + width);
  std::vector<Entry> out = Sorted(bytes.data(), n, width);
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t* e = out[i].data();
    const uint64_t edge = i % 7;
    if (kind == Kind::kScatter) Put(e, 8, edge == 0 ? (uint64_t{256} << 49) - 1 : random() >> 7);
    if (kind == Kind::kValue) {
      const uint64_t low = edge == 0 ? 256 * r - 1 : edge == 1 ? r : random() % (256 * r);
      Put(e + 4, 8, (Get(e + 4, 8) & ~kLow56) | low);
    }
    if (kind == Kind::kGroup32 || kind == Kind::kGroup64) {
      const uint64_t g = edge == 0   ? limit - 1
                         : edge == 1 ? std::min<uint64_t>(556, limit - 1)
                                     : random() % limit;
      Put(e, 4, (edge == 2 ? 15112 : random() % 15113) | g << 14);
    }
  }
  return out;
}

struct VectorSource final : EntrySource {
  std::vector<uint8_t> bytes;
  uint64_t width = 0;
  std::atomic<uint64_t> next{0};
  void TakeEntries(void* out, uint64_t count) override {
    std::memcpy(out, bytes.data() + next.fetch_add(count) * width, count * width);
  }
};

struct Rig {
  static constexpr uint64_t kMaxEntries = 30000;
  std::unique_ptr<uint8_t[]> memory{new uint8_t[256 * kMaxEntries * 28]};
  ThreadPool::Handle pool = ThreadPool::Create(HeapArena(), 2, nullptr, 0);
  OwnedArray<BucketWriter<256>> writers;
  Rig() {
    writers.Allocate(HeapArena(), 2);
    for (uint64_t w = 0; w < 2; ++w) {
      writers.Set(w, NewInArena<BucketWriter<256>>(HeapArena()));
      writers[w]->AllocateBuffer(HeapArena());
    }
  }
  template <uint64_t W>
  Buckets Pass(DistributionKernel kernel, const std::vector<Entry>& in, uint64_t limit, uint64_t r,
               uint64_t capacity) {
    VectorSource source;
    source.width = W;
    for (const Entry& e : in) source.bytes.insert(source.bytes.end(), e.begin(), e.end());
    std::vector<uint8_t*> data;
    for (uint64_t b = 0; b < 256; ++b) data.push_back(memory.get() + b * kMaxEntries * 28);
    std::vector<uint64_t> capacities(256, capacity), counts(256);
    InMemoryBucketSink<W> sink(data.data(), capacities.data());
    RunDistribution(*pool, writers, sink, {&source, in.size(), limit, r}, kernel);
    TakeBucketCounts(sink, counts.data());
    Buckets out;
    for (uint64_t b = 0; b < 256; ++b) out.push_back(Sorted(data[b], counts[b], W));
    return out;
  }
};

struct KernelRow {
  Kind kind;
  uint64_t width;
  DistributionKernel kernel;
  const char* badCode;  // of a group, value or bucket out of range
  Buckets (Rig::*pass)(DistributionKernel, const std::vector<Entry>&, uint64_t, uint64_t, uint64_t);
};

TEST(DistributionKernels, EveryKernelMatchesTheRuleAtBothScalesAndRefusesBadKeys) {
  const KernelRow rows[] = {
      {Kind::kGroup32, 8, DistributeEntries8, "1534F744", &Rig::Pass<8>},
      {Kind::kGroup32, 12, DistributeEntries12B, "A8CE68F1", &Rig::Pass<12>},
      {Kind::kGroup64, 16, DistributeEntries16, "8C00FDCD", &Rig::Pass<16>},
      {Kind::kGroup64, 20, DistributeEntries20B, "8C00FDCD", &Rig::Pass<20>},
      {Kind::kGroup64, 24, DistributeEntries24B, "8C00FDCD", &Rig::Pass<24>},
      {Kind::kValue, 12, DistributeEntries12, "9EB17911", &Rig::Pass<12>},
      {Kind::kValue, 20, DistributeEntries20, "9EB17911", &Rig::Pass<20>},
      {Kind::kValue, 24, DistributeEntries24, "9EB17911", &Rig::Pass<24>},
      {Kind::kValue, 28, DistributeEntries28, "9EB17911", &Rig::Pass<28>},
      {Kind::kScatter, 8, ScatterToBuckets, "9D65BCE2", &Rig::Pass<8>},
  };
  Rig rig;
  for (const KernelRow& row : rows) {
    for (uint64_t limit : {uint64_t{142096}, uint64_t{138}}) {  // d = 0 and d = 10
      for (uint64_t n : {uint64_t{100}, uint64_t{30000}}) {
        const uint64_t r = limit == 138 ? 1000 : (uint64_t{1} << 48) - 12345;
        std::vector<Entry> in = Make(row.kind, row.width, n, limit, r);
        Buckets want(256);
        for (Entry e : in) want[Reference(row.kind, e, r)].push_back(e);
        for (auto& w : want) std::sort(w.begin(), w.end(), ByBytes);
        EXPECT_EQ((rig.*row.pass)(row.kernel, in, limit, r, n), want) << row.width;
        // One entry past the rule's range fails the pass and leaves the writers reusable.
        uint8_t* bad = in[n / 2].data();
        if (row.kind == Kind::kScatter) Put(bad, 8, uint64_t{256} << 49);
        if (row.kind == Kind::kValue) Put(bad + 4, 8, 256 * r);
        if (row.kind == Kind::kGroup32 || row.kind == Kind::kGroup64) Put(bad, 4, limit << 14);
        const auto pass = [&] { (rig.*row.pass)(row.kernel, in, limit, r, n); };
        EXPECT_EQ(ThrownText(pass), std::string("invalid temp file: ") + row.badCode);
        if (row.kind != Kind::kGroup32 && row.kind != Kind::kGroup64) continue;
        Put(bad, 4, 15113);
        EXPECT_NE(ThrownText(pass), "no exception");
      }
    }
  }
  // Full buckets fail the pass instead of leaving a silently short table.
  const auto scatter = Make(Kind::kScatter, 8, 5000, 0, 0);
  EXPECT_EQ(ThrownText([&] { rig.Pass<8>(ScatterToBuckets, scatter, 0, 0, 10); }),
            kBucketOverflowError);
}

// The last value of an input bucket lands in in-memory bucket 255 at most, also when r_in is 1
// more than a multiple of 256 (R = 32773 gives r_in = 257).
TEST(DistributionKernels, TheLastValueOfAnInputBucketStaysInItsBuckets) {
  Rig rig;
  for (uint64_t range : {uint64_t{32773}, (uint64_t{1} << 40) + 5, uint64_t{1000000}}) {
    const ValueRanges r = ComputeValueRanges(range);
    Entry last(12, 0);
    Put(&last[4], 8, r.rangeIn - 1);
    Entry placed = last;
    Buckets want(256);
    want[Reference(Kind::kValue, placed, r.rangeMem) & 255].push_back(placed);
    EXPECT_EQ(rig.Pass<12>(DistributeEntries12, {last}, 142096, r.rangeMem, 1), want) << range;
  }
}

TEST(SortBucketRecords, GroupsComeOutInOrderWithTheirTable) {
  using SortFn = void (*)(void*, uint64_t, void*, uint64_t*, uint64_t*);
  const std::pair<uint64_t, SortFn> rows[] = {{8, SortBucketRecords8},
                                              {12, SortBucketRecords12},
                                              {16, SortBucketRecords16},
                                              {20, SortBucketRecords20},
                                              {24, SortBucketRecords24}};
  for (auto [width, sort] : rows) {
    std::mt19937_64 random(width);
    std::vector<uint64_t> groups, want(556), start(556), length(556);
    for (uint64_t i = 0; i < 20000; ++i) {
      groups.push_back(random() % 556);
      ++want[groups.back()];
    }
    const uint64_t n = groups.size(), keyBytes = width <= 12 ? 4 : 8;
    std::vector<uint8_t> data = RandomBytes(n * width, width), scratch(n * width);
    for (uint64_t i = 0; i < n; ++i) {
      // Bit 31 of a wide key lies outside the group.
      Put(&data[i * width], keyBytes,
          random() % 15113 | groups[i] << 14 | (random() << 31) * (width > 12));
    }
    const std::vector<Entry> before = Sorted(data.data(), n, width);
    sort(data.data(), n, scratch.data(), start.data(), length.data());
    const auto group = [&, width = width](uint64_t i) {
      return Get(&data[i * width], keyBytes) >> 14 & (width <= 12 ? 0x3FFFF : 0x1FFFF);
    };
    for (uint64_t i = 1; i < n; ++i) EXPECT_LE(group(i - 1), group(i));
    EXPECT_EQ(Sorted(data.data(), n, width), before) << width;
    EXPECT_EQ(length, want);
    for (uint64_t g = 0; g < 556; ++g)
      EXPECT_EQ(start[g], g == 0 ? 0 : start[g - 1] + want[g - 1]);
    Put(data.data(), 4, uint64_t{556} << 14);
    EXPECT_EQ(
        ThrownText([&, &sort = sort] {
          sort(data.data(), n, scratch.data(), start.data(), length.data());
        }),
        "invalid temp file: C2D541B9");
  }
}

template <uint64_t In, uint64_t Out>
void CheckRegroup(RegroupKernel kernel, uint64_t base) {
  std::mt19937_64 random(In);
  Buckets buckets(256);
  std::vector<uint64_t> counts(256), start(256);
  std::vector<std::pair<uint64_t, std::array<uint8_t, Out>>> want, got;
  for (uint64_t b = 0; b < 256; ++b) counts[b] = random() % 300;
  BucketStarts(counts.data(), base, start.data());
  std::vector<uint8_t*> data;
  for (uint64_t b = 0; b < 256; ++b) {
    buckets[b].push_back(RandomBytes(counts[b] * In, b));
    data.push_back(buckets[b][0].data());
    for (uint64_t j = 0; j < counts[b]; ++j) {
      const uint8_t* e = data[b] + j * In;
      const uint64_t k = Get(e, 4), v = Get(e + 4, 8), idx = start[b] + j;
      std::array<uint8_t, Out> out{};
      Put(out.data(), 8, In == 12 ? (k % (1u << 25)) << 32 | idx : idx << 32 | k);
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
  const std::string thrown = ThrownText([&] {
    RunRegroup(*pool, writers, {data.data(), counts.data(), start.data()}, kernel);
  });
  EXPECT_EQ(thrown, base > 0xFFFFFFFFu - 300 ? "3D9A6E15" : "no exception");
  if (base > 0xFFFFFFFFu - 300) return;
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
