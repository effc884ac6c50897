#include "plotter/distribution_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "plotter/distribution_pass.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/thrown_text.h"

namespace {

using Entry = std::vector<uint8_t>;
enum class Kind { kGroup32, kGroup64, kValue, kScatter };

uint64_t Get(const Entry& e, uint64_t at, uint64_t n) {
  uint64_t v = 0;
  std::memcpy(&v, e.data() + at, n);
  return v;
}
void Put(Entry& e, uint64_t at, uint64_t n, uint64_t v) { std::memcpy(e.data() + at, &v, n); }

// The bucket and rewritten entry, written straight from the rules with plain division.
uint64_t Reference(Kind kind, Entry& e, uint64_t r) {
  const uint64_t mask = (uint64_t{1} << 56) - 1;
  if (kind == Kind::kScatter) return Get(e, 0, 8) >> 49;
  if (kind == Kind::kValue) {
    const uint64_t v = Get(e, 4, 8);
    Put(e, 4, 8, (v & ~mask) | (v & mask) % r);
    return (v & mask) / r;
  }
  const uint64_t g = (Get(e, 0, 4) >> 14) & 0x3FFFF;
  Put(e, 0, 4, (Get(e, 0, 4) & 0x3FFF) | (g % 556) << 14);
  return g / 556;
}

// Entries with random fields and the edge values of each rule.
std::vector<Entry> Make(Kind kind, uint64_t width, uint64_t n, uint64_t limit, uint64_t r,
                        uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<Entry> out(n, Entry(width));
  for (uint64_t i = 0; i < n; ++i) {
    Entry& e = out[i];
    for (uint8_t& b : e) b = static_cast<uint8_t>(random());
    const uint64_t edge = i % 7;
    if (kind == Kind::kScatter) {
      Put(e, 0, 8, edge == 0 ? (uint64_t{256} << 49) - 1 : random() % (uint64_t{256} << 49));
    } else if (kind == Kind::kValue) {
      const uint64_t low = edge == 0 ? 256 * r - 1 : edge == 1 ? r : random() % (256 * r);
      Put(e, 4, 8, (Get(e, 4, 8) & ~((uint64_t{1} << 56) - 1)) | low);
    } else {
      const uint64_t g = edge == 0 ? limit - 1 : edge == 1 ? std::min<uint64_t>(556, limit - 1)
                                                           : random() % limit;
      const uint64_t y = edge == 2 ? 15112 : random() % 15113;
      Put(e, 0, 4, y | g << 14);
    }
  }
  return out;
}

// Hands out a vector's entries to any thread.
struct VectorSource final : EntrySource {
  std::vector<uint8_t> bytes;
  uint64_t width = 0;
  std::atomic<uint64_t> next{0};
  void TakeEntries(void* out, uint64_t count) override {
    const uint64_t at = next.fetch_add(count);
    std::memcpy(out, bytes.data() + at * width, count * width);
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
      auto writer = NewInArena<BucketWriter<256>>(HeapArena());
      writer->AllocateBuffer(HeapArena());
      writers.Set(w, std::move(writer));
    }
  }
  // Runs one pass over `entries`; returns each bucket's entries, sorted.
  template <uint64_t W>
  std::vector<std::vector<Entry>> Run(DistributionKernel kernel, const std::vector<Entry>& in,
                                      uint64_t limit, uint64_t r, uint64_t capacity) {
    VectorSource source;
    source.width = W;
    for (const Entry& e : in) source.bytes.insert(source.bytes.end(), e.begin(), e.end());
    std::vector<uint8_t*> data;
    for (uint64_t b = 0; b < 256; ++b) data.push_back(memory.get() + b * kMaxEntries * 28);
    std::vector<uint64_t> capacities(256, capacity), counts(256);
    InMemoryBucketSink<W> sink(data.data(), capacities.data());
    RunDistribution(*pool, writers, sink, {&source, in.size(), limit, r}, kernel);
    TakeBucketCounts(sink, counts.data());
    std::vector<std::vector<Entry>> out(256);
    for (uint64_t b = 0; b < 256; ++b) {
      for (uint64_t j = 0; j < counts[b]; ++j) out[b].emplace_back(data[b] + j * W, data[b] + j * W + W);
      std::sort(out[b].begin(), out[b].end());
    }
    return out;
  }
};

struct KernelRow {
  Kind kind;
  uint64_t width;
  DistributionKernel kernel;
  const char* badCode;  // of a key or value out of range
};
const KernelRow kRows[] = {
    {Kind::kGroup32, 8, DistributeEntries8, "1534F744"},
    {Kind::kGroup32, 12, DistributeEntries12B, "A8CE68F1"},
    {Kind::kGroup64, 16, DistributeEntries16, "8C00FDCD"},
    {Kind::kGroup64, 20, DistributeEntries20B, "8C00FDCD"},
    {Kind::kGroup64, 24, DistributeEntries24B, "8C00FDCD"},
    {Kind::kValue, 12, DistributeEntries12, "9EB17911"},
    {Kind::kValue, 20, DistributeEntries20, "9EB17911"},
    {Kind::kValue, 24, DistributeEntries24, "9EB17911"},
    {Kind::kValue, 28, DistributeEntries28, "9EB17911"},
    {Kind::kScatter, 8, ScatterToBuckets, "9D65BCE2"},
};

template <uint64_t W>
auto RunWidth(Rig& rig, const KernelRow& row, const std::vector<Entry>& in, uint64_t limit,
              uint64_t r, uint64_t capacity) {
  return rig.Run<W>(row.kernel, in, limit, r, capacity);
}

std::vector<std::vector<Entry>> RunRow(Rig& rig, const KernelRow& row,
                                       const std::vector<Entry>& in, uint64_t limit, uint64_t r,
                                       uint64_t capacity) {
  switch (row.width) {
    case 8: return RunWidth<8>(rig, row, in, limit, r, capacity);
    case 12: return RunWidth<12>(rig, row, in, limit, r, capacity);
    case 16: return RunWidth<16>(rig, row, in, limit, r, capacity);
    case 20: return RunWidth<20>(rig, row, in, limit, r, capacity);
    case 24: return RunWidth<24>(rig, row, in, limit, r, capacity);
    default: return RunWidth<28>(rig, row, in, limit, r, capacity);
  }
}

TEST(DistributionKernels, EveryKernelMatchesTheRuleAtBothScalesAndRefusesBadKeys) {
  Rig rig;
  for (const KernelRow& row : kRows) {
    for (uint64_t limit : {uint64_t{142096}, uint64_t{138}}) {
      for (uint64_t n : {uint64_t{100}, uint64_t{30000}}) {
        const uint64_t r = limit == 138 ? 1000 : (uint64_t{1} << 48) - 12345;
        std::vector<Entry> in = Make(row.kind, row.width, n, limit, r, n + limit);
        std::vector<std::vector<Entry>> want(256);
        for (Entry e : in) {
          const uint64_t b = Reference(row.kind, e, r);
          want[b].push_back(e);
        }
        for (auto& w : want) std::sort(w.begin(), w.end());
        EXPECT_EQ(RunRow(rig, row, in, limit, r, n), want) << row.width << " " << limit;
        // One entry past the rule's range fails the pass and leaves the writers reusable.
        in[n / 2] = Make(row.kind, row.width, 1, limit, r, 1)[0];
        if (row.kind == Kind::kScatter) Put(in[n / 2], 0, 8, uint64_t{256} << 49);
        if (row.kind == Kind::kValue) Put(in[n / 2], 4, 8, 256 * r);
        if (row.kind == Kind::kGroup32 || row.kind == Kind::kGroup64) Put(in[n / 2], 0, 4, limit << 14);
        EXPECT_EQ(ThrownText([&] { RunRow(rig, row, in, limit, r, n); }),
                  std::string("invalid temp file: ") + row.badCode);
        if (row.kind == Kind::kGroup32 || row.kind == Kind::kGroup64) {
          Put(in[n / 2], 0, 4, 15113);
          EXPECT_NE(ThrownText([&] { RunRow(rig, row, in, limit, r, n); }).find("invalid temp file"),
                    std::string::npos);
        }
      }
    }
  }
  // Full buckets fail the pass instead of keeping a silently short table.
  EXPECT_EQ(ThrownText([&] { RunRow(rig, kRows[9], Make(Kind::kScatter, 8, 5000, 0, 0, 3), 0, 0, 10); }),
            kBucketOverflowError);
  // A writer left bound or holding entries stops the next pass before anything moves.
  InMemoryBucketSink<8> other(std::vector<uint8_t*>(256).data(), std::vector<uint64_t>(256).data());
  rig.writers[1]->sink = &other;
  EXPECT_EQ(ThrownText([&] { RunRow(rig, kRows[0], {}, 138, 1, 1); }), "628B520A");
  EXPECT_EQ(rig.writers[0]->sink, nullptr);
  rig.writers[1]->sink = nullptr;
  rig.writers[1]->counts[7] = 1;
  EXPECT_EQ(ThrownText([&] { RunRow(rig, kRows[0], {}, 138, 1, 1); }), "2CE9ACE7");
}

// Eight threads append tagged entries to a few buckets at once.
TEST(InMemoryBucketSink, ConcurrentAppendsLoseAndDuplicateNothing) {
  for (uint64_t capacity : {uint64_t{40000}, uint64_t{10000}}) {
    std::vector<std::vector<uint64_t>> memory(256, std::vector<uint64_t>(capacity));
    std::vector<uint8_t*> data;
    for (auto& m : memory) data.push_back(reinterpret_cast<uint8_t*>(m.data()));
    std::vector<uint64_t> capacities(256, capacity);
    InMemoryBucketSink<8> sink(data.data(), capacities.data());
    std::vector<std::thread> threads;
    for (uint64_t t = 0; t < 8; ++t) {
      threads.emplace_back([&sink, t] {
        for (uint64_t batch = 0; batch < 160; ++batch) {
          uint64_t tagged[64];
          for (uint64_t j = 0; j < 64; ++j) tagged[j] = (t << 32) | (batch << 8) | j;
          sink.Append(batch % 4, tagged, 64 - batch % 3);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    uint64_t kept = 0, sent = 8 * 160 * 64 - 8 * (53 * 1 + 53 * 2);
    for (uint64_t b = 0; b < 4; ++b) {
      std::vector<uint64_t> got(memory[b].begin(), memory[b].begin() + sink.Fill(b));
      std::sort(got.begin(), got.end());
      EXPECT_EQ(std::adjacent_find(got.begin(), got.end()), got.end());
      for (uint64_t v : got) EXPECT_EQ((v >> 8 & 0xFF) % 4, b);
      kept += got.size();
    }
    EXPECT_EQ(kept + sink.Dropped(), sent);
    EXPECT_EQ(kept, std::min(sent, 4 * capacity));
  }
}

}  // namespace
