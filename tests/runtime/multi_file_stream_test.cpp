#include "runtime/multi_file_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/file_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_arena.h"
#include "tests/support/fault_file.h"

namespace {

constexpr uint64_t kBlockSize = 4096;
constexpr uint64_t kBlocks = 1024;
constexpr uint64_t kBuckets = MultiFileStream::kBuckets;

using Regions = std::array<BucketRegion, kBuckets>;
using CountTable = std::array<uint32_t, MultiFileStream::kCountTableEntries>;

// Side regions laid out one after the other in every file; each bucket gets room for `entries[b]`
// entries of `width` bytes over `files` files, plus one block per file of slack.
Regions MakeRegions(const std::vector<uint64_t>& entries, uint64_t width, uint64_t files,
                    uint64_t& offset) {
  Regions regions{};
  const uint64_t perBlock = kBlockSize / width;
  for (uint64_t b = 0; b < kBuckets; ++b) {
    const uint64_t blocks = (entries[b] + perBlock - 1) / perBlock / files + 2;
    regions[b] = BucketRegion{offset, blocks, entries[b]};
    offset += blocks * kBlockSize;
  }
  return regions;
}

struct Rig {
  Rig(uint64_t count, const PauseMask* pause = nullptr) : arena([](const std::string&) {}) {
    for (uint64_t f = 0; f < count; ++f) {
      owned.push_back(std::make_unique<FaultFile>());
      owned.back()->Open(dir / ("temp" + std::to_string(f)), false);
      files.push_back(owned.back().get());
    }
    tables.resize(count);
    NewStream(pause);
  }
  void NewStream(const PauseMask* pause = nullptr, uint64_t blockSize = kBlockSize) {
    stream.reset();
    stream = std::make_unique<MultiFileStream>(kBlocks, blockSize, &arena, pause);
  }
  std::vector<const uint32_t*> Stored() const {
    std::vector<const uint32_t*> out;
    for (const CountTable& t : tables) out.push_back(t.data());
    return out;
  }
  void Feed(uint64_t writeSide, uint64_t readWidth, uint64_t writeWidth, uint64_t start) {
    const auto stored = Stored();
    stream->Feed(files.data(), files.size(), stored.data(), stored.size(), writeSide, readWidth,
                 writeWidth, side[0].data(), side[1].data(), start);
  }
  void Flush(std::vector<double>* progress = nullptr) {
    std::vector<uint32_t*> out;
    for (CountTable& t : tables) out.push_back(t.data());
    stream->Flush(out.data(), out.size(), [&](double p) {
      if (progress != nullptr) progress->push_back(p);
    });
  }
  // Both sides get regions for `sizes` entries of 16 bytes spread over `spreadOver` files (all of
  // them when 0); returns the end of the last region.
  uint64_t SameRegions(const std::vector<uint64_t>& sizes, uint64_t spreadOver = 0) {
    uint64_t offset = 0;
    for (Regions& r : side) {
      r = MakeRegions(sizes, 16, spreadOver != 0 ? spreadOver : files.size(), offset);
    }
    return offset;
  }
  uint64_t Stored(uint64_t s, uint64_t b) const {
    uint64_t total = 0;
    for (const CountTable& t : tables) total += t[s * kBuckets + b];
    return total;
  }

  TestDirectory dir;
  MemoryArena arena;
  std::vector<std::unique_ptr<FaultFile>> owned;
  std::vector<DirectFile*> files;
  std::vector<CountTable> tables;
  std::array<Regions, 2> side{};
  std::unique_ptr<MultiFileStream> stream;
};

// 16-byte entries that carry their own check word, so torn or misplaced data shows.
struct Wide {
  uint64_t id;
  uint64_t check;
};
uint64_t Mix(uint64_t x) {
  x ^= x >> 31;
  x *= 0x9E3779B97F4A7C15ull;
  return x ^ (x >> 29);
}
Wide MakeWide(uint64_t bucket, uint64_t thread, uint64_t seq) {
  const uint64_t id = bucket << 40 | thread << 32 | seq;
  return Wide{id, Mix(id)};
}
uint64_t NextBucket(uint64_t id) { return Mix(id ^ 0x5A5A) % kBuckets; }

std::vector<uint64_t> BucketSizes(uint64_t scale) {
  std::vector<uint64_t> sizes(kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) sizes[b] = scale + (b * 37 % 11) * scale / 8 + b;
  return sizes;
}

// Writes `sizes[b]` entries into every bucket from `threads` producers in uneven chunks; returns
// the ids put into each bucket.
std::vector<std::vector<uint64_t>> Produce(MultiFileStream& stream,
                                           const std::vector<uint64_t>& sizes, uint64_t threads,
                                           uint64_t seqBase = 0) {
  std::vector<std::vector<uint64_t>> expected(kBuckets);
  std::vector<std::thread> workers;
  std::mutex guard;
  for (uint64_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      std::mt19937_64 random(t + 7);
      std::vector<std::pair<uint64_t, uint64_t>> todo;  // bucket, next seq
      for (uint64_t b = 0; b < kBuckets; ++b) todo.emplace_back(b, 0);
      std::vector<std::vector<uint64_t>> mine(kBuckets);
      while (!todo.empty()) {
        const uint64_t pick = random() % todo.size();
        auto& [bucket, seq] = todo[pick];
        const uint64_t share = sizes[bucket] / threads + (t < sizes[bucket] % threads ? 1 : 0);
        const uint64_t n = std::min<uint64_t>(share - seq, 1 + random() % 700);
        std::vector<Wide> chunk;
        for (uint64_t i = 0; i < n; ++i) {
          chunk.push_back(MakeWide(bucket, t, seqBase + seq + i));
          mine[bucket].push_back(chunk.back().id);
        }
        stream.Append(bucket, chunk.data(), n);
        seq += n;
        if (seq == share) todo.erase(todo.begin() + pick);
      }
      std::lock_guard lock(guard);
      for (uint64_t b = 0; b < kBuckets; ++b) {
        expected[b].insert(expected[b].end(), mine[b].begin(), mine[b].end());
      }
    });
  }
  for (auto& w : workers) w.join();
  return expected;
}

// Drains `want` entries of the current read bucket from `threads` consumers in rounds of at most
// 300 entries.
template <typename Entry>
std::vector<Entry> Consume(MultiFileStream& stream, uint64_t want, uint64_t threads,
                           const std::function<void(const std::vector<Entry>&)>& onChunk = {}) {
  std::vector<Entry> all;
  std::mutex guard;
  std::vector<std::thread> workers;
  for (uint64_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      uint64_t share = (t + 1) * want / threads - t * want / threads;
      std::vector<Entry> mine;
      while (share > 0) {
        const uint64_t n = std::min<uint64_t>(share, 1 + (share * 7 + t) % 300);
        std::vector<Entry> chunk(n);
        stream.TakeEntries(chunk.data(), n);
        if (onChunk) onChunk(chunk);
        mine.insert(mine.end(), chunk.begin(), chunk.end());
        share -= n;
      }
      std::lock_guard lock(guard);
      all.insert(all.end(), mine.begin(), mine.end());
    });
  }
  for (auto& w : workers) w.join();
  return all;
}

uint64_t IdOf(uint64_t id) { return id; }
uint64_t IdOf(const Wide& w) {
  EXPECT_EQ(w.check, Mix(w.id)) << "torn entry " << w.id;
  return w.id;
}

// Drains buckets `from`..127 of the read side, `expected[b].size()` entries each, and compares
// them with the ids expected there as multisets.
template <typename Entry>
void ExpectBucketsReadBack(MultiFileStream& stream, std::vector<std::vector<uint64_t>> expected,
                           uint64_t threads, uint64_t from = 0,
                           const std::function<void(const std::vector<Entry>&)>& onChunk = {}) {
  for (uint64_t b = from; b < kBuckets; ++b) {
    stream.SetReadBucket(b);
    std::vector<uint64_t> ids;
    for (const Entry& e : Consume<Entry>(stream, expected[b].size(), threads, onChunk))
      ids.push_back(IdOf(e));
    std::sort(ids.begin(), ids.end());
    std::sort(expected[b].begin(), expected[b].end());
    ASSERT_EQ(ids, expected[b]) << "bucket " << b;
  }
}

// How many of the ids that `Produce` makes for `sizes` with `threads` producers land in each
// bucket when they are re-bucketed by NextBucket.
std::vector<uint64_t> NextSizes(const std::vector<uint64_t>& sizes, uint64_t threads,
                                uint64_t seqBase = 0) {
  std::vector<uint64_t> next(kBuckets, 0);
  for (uint64_t b = 0; b < kBuckets; ++b) {
    for (uint64_t t = 0; t < threads; ++t) {
      const uint64_t share = sizes[b] / threads + (t < sizes[b] % threads ? 1 : 0);
      for (uint64_t q = 0; q < share; ++q) ++next[NextBucket(MakeWide(b, t, seqBase + q).id)];
    }
  }
  return next;
}

void RunTwoSteps(uint64_t fileCount) {
  SCOPED_TRACE("files: " + std::to_string(fileCount));
  Rig rig(fileCount);
  const std::vector<uint64_t> sizes = BucketSizes(2400);
  uint64_t offset = 0;
  // The second step re-buckets every id; its regions are sized to fit exactly.
  const std::vector<uint64_t> nextSizes = NextSizes(sizes, 4);
  rig.side[0] = MakeRegions(sizes, 16, fileCount, offset);
  rig.side[1] = MakeRegions(nextSizes, 8, fileCount, offset);
  double lastBegin = -1;
  rig.stream->Begin(rig.files.data(), fileCount, offset, [&](double p) {
    lastBegin = p;
    return true;
  });
  EXPECT_EQ(lastBegin, 1.0);
  for (DirectFile* f : rig.files) EXPECT_EQ(f->GetSize(), static_cast<int64_t>(offset));

  // Step one: side 0 is written by four producers; far more data than the pool holds.
  rig.Feed(0, 0, 16, kBuckets);
  auto expected = Produce(*rig.stream, sizes, 4);
  EXPECT_EQ(rig.stream->TakeDroppedEntries(), 0u);
  std::vector<double> progress;
  rig.Flush(&progress);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  for (uint64_t b = 0; b < kBuckets; ++b) {
    ASSERT_EQ(rig.Stored(0, b), sizes[b]) << b;
    ASSERT_EQ(rig.Stored(1, b), 0u) << b;
  }

  // Step two: sides swapped; side 0 drained bucket by bucket while side 1 fills.
  rig.Feed(1, 16, 8, 0);
  for (uint64_t b = 0; b < kBuckets; ++b) ASSERT_EQ(rig.stream->HeldEntries(0, b), sizes[b]);
  std::vector<std::vector<uint64_t>> next(kBuckets);
  std::mutex guard;
  ExpectBucketsReadBack<Wide>(*rig.stream, expected, 3, 0, [&](const std::vector<Wide>& chunk) {
    for (const Wide& w : chunk) {
      rig.stream->Append(NextBucket(w.id), &w.id, 1);
      std::lock_guard lock(guard);
      next[NextBucket(w.id)].push_back(w.id);
    }
  });
  rig.Flush();
  uint64_t total = 0;
  for (uint64_t b = 0; b < kBuckets; ++b) {
    ASSERT_EQ(rig.Stored(0, b), 0u);
    ASSERT_EQ(next[b].size(), nextSizes[b]);
    ASSERT_EQ(rig.Stored(1, b), nextSizes[b]);
    total += next[b].size();
  }
  uint64_t all = 0;
  for (uint64_t s : sizes) all += s;
  EXPECT_EQ(total, all);
  EXPECT_EQ(rig.stream->TakeDroppedEntries(), 0u);

  // Step three: side 1 read back, nothing written.
  rig.Feed(0, 8, 0, 0);
  ExpectBucketsReadBack<uint64_t>(*rig.stream, next, 2);
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);
  EXPECT_TRUE(rig.stream->IsIdle());
}

TEST(MultiFileStream, EntriesSurviveStepsOverOneThreeAndSixteenFiles) {
  RunTwoSteps(1);
  RunTwoSteps(3);
  RunTwoSteps(16);
}

TEST(MultiFileStream, ConstructionErrors) {
  MemoryArena arena([](const std::string&) {});
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { MultiFileStream s(1023, 4096, &arena, nullptr); }),
            "CA6B9D39");
  EXPECT_EQ(
      ThrownText<std::runtime_error>([&] { MultiFileStream s(1024, 4096 + 512, &arena, nullptr); }),
      "9F9876D2");
  EXPECT_EQ(arena.LiveCount(), 0u);

  // Allocation order: the block records, 1024 blocks, the request lists, the zero block.
  const std::vector<std::string> thrown = SweepAllocationFailures(
      [](FaultArena& arena) { MultiFileStream s(1024, 4096, &arena, nullptr); });
  ASSERT_EQ(thrown.size(), 1027u);
  EXPECT_EQ(thrown[0], "std::bad_alloc");
  for (size_t i = 1; i < 1025; ++i)
    ASSERT_EQ(thrown[i], "failed to allocate memory: 155633EE") << i;
  EXPECT_EQ(thrown[1025], "std::bad_alloc");
  EXPECT_EQ(thrown[1026], "failed to allocate memory: 72F8F5E5");
}

TEST(MultiFileStream, ResumeMidStepAndMidBucket) {
  const uint64_t fileCount = 3;
  Rig rig(fileCount);
  const std::vector<uint64_t> sizes = BucketSizes(1600);
  std::vector<uint64_t> half(kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) half[b] = sizes[b] / 2;
  uint64_t offset = rig.SameRegions(sizes);
  rig.stream->Begin(rig.files.data(), fileCount, offset, {});

  rig.Feed(0, 0, 16, kBuckets);
  auto first = Produce(*rig.stream, half, 3);
  rig.Flush();
  uint64_t broken = 0;
  for (const CountTable& t : rig.tables) {
    for (uint64_t b = 0; b < kBuckets; ++b) broken += t[b] % 256 != 0 ? 1 : 0;
  }
  EXPECT_GT(broken, 0u);  // the saved layout really carries broken blocks

  // A new stream continues writing the same side from the saved counts.
  rig.NewStream();
  rig.Feed(0, 0, 16, kBuckets);
  std::vector<uint64_t> rest(kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) rest[b] = sizes[b] - half[b];
  auto second = Produce(*rig.stream, rest, 2, 1u << 20);
  rig.Flush();
  for (uint64_t b = 0; b < kBuckets; ++b) ASSERT_EQ(rig.Stored(0, b), sizes[b]);

  // Read up to the middle of bucket 64, save, and read the rest with yet another stream.
  std::vector<std::vector<uint64_t>> seen(kBuckets);
  rig.NewStream();
  rig.Feed(1, 16, 16, 0);
  for (uint64_t b = 0; b <= 64; ++b) {
    rig.stream->SetReadBucket(b);
    const uint64_t want = b == 64 ? 777 : sizes[b];
    for (const Wide& w : Consume<Wide>(*rig.stream, want, 2)) seen[b].push_back(w.id);
  }
  rig.Flush();
  EXPECT_EQ(rig.Stored(0, 63), 0u);
  EXPECT_EQ(rig.Stored(0, 64), sizes[64] - 777);

  // What the first read saw is already complete below bucket 64 and taken off bucket 64's due.
  rig.NewStream();
  rig.Feed(1, 16, 16, 64);
  EXPECT_EQ(rig.stream->ReadBucket(), 64u);
  std::vector<std::vector<uint64_t>> due(kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) {
    std::multiset<uint64_t> left(first[b].begin(), first[b].end());
    left.insert(second[b].begin(), second[b].end());
    for (uint64_t id : seen[b]) {
      const auto at = left.find(id);
      ASSERT_NE(at, left.end()) << "bucket " << b << " gave an id twice or from elsewhere";
      left.erase(at);
    }
    due[b].assign(left.begin(), left.end());
    if (b < 64) {
      ASSERT_TRUE(due[b].empty()) << b;
    }
  }
  ExpectBucketsReadBack<Wide>(*rig.stream, due, 2, 64);
  rig.stream->StopThreads();
}

// Steps change without a flush: the threads stop (some with a write run taken while their file is
// held back), the written side stays in memory and in the files, and becomes the read side.
TEST(MultiFileStream, HandOverKeepsWhatTheStepWrote) {
  const uint64_t fileCount = 3;
  PauseMask mask{0};
  Rig rig(fileCount, &mask);
  const std::vector<uint64_t> sizes = BucketSizes(2400);  // about twice what the pool holds
  std::vector<uint64_t> late(kBuckets, 0);
  for (uint64_t b = 0; b < 20; ++b) late[b] = 5 * 256;
  std::vector<uint64_t> all(kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) all[b] = sizes[b] + late[b];
  uint64_t offset = 0;
  rig.side[0] = MakeRegions(all, 16, fileCount, offset);
  EXPECT_EQ(ThrownText<std::runtime_error>(
                [&] { rig.stream->HandOver(1, 16, 8, rig.side[0].data(), rig.side[1].data()); }),
            "5B7E0C2D");

  rig.Feed(0, 0, 16, kBuckets);
  auto expected = Produce(*rig.stream, sizes, 2);
  // Once the write-behind has caught up, at most three queued blocks and the current one of each
  // bucket stay in memory, which leaves room for the late entries with every file held back.
  ASSERT_TRUE(WaitFor([&] { return rig.stream->FreeBlocks() >= kBlocks - 4 * kBuckets; }));
  // With every file held back, the write-behind threads take runs they cannot write yet.
  mask = ~0ull;
  auto lateIds = Produce(*rig.stream, late, 1, 1u << 20);
  for (uint64_t b = 0; b < kBuckets; ++b) {
    expected[b].insert(expected[b].end(), lateIds[b].begin(), lateIds[b].end());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));

  std::vector<uint64_t> nextSizes(kBuckets, 0);
  for (const auto& ids : expected) {
    for (uint64_t id : ids) ++nextSizes[NextBucket(id)];
  }
  rig.side[1] = MakeRegions(nextSizes, 8, fileCount, offset);
  const uint64_t freeBefore = rig.stream->FreeBlocks();
  ASSERT_LT(freeBefore, kBlocks);
  rig.stream->HandOver(1, 16, 8, rig.side[0].data(), rig.side[1].data());
  EXPECT_EQ(rig.stream->FreeBlocks(), freeBefore);  // nothing written out, nothing discarded
  EXPECT_EQ(rig.stream->ReadBucket(), kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) ASSERT_EQ(rig.stream->HeldEntries(0, b), all[b]) << b;

  // Refused hand-overs leave the step running as it was.
  EXPECT_EQ(ThrownText<std::runtime_error>(
                [&] { rig.stream->HandOver(0, 8, 16, rig.side[0].data(), rig.side[1].data()); }),
            "3F8D2E61");
  EXPECT_EQ(ThrownText<std::runtime_error>(
                [&] { rig.stream->HandOver(1, 24, 8, rig.side[0].data(), rig.side[1].data()); }),
            "C0F3A8B6");
  mask = 0;

  std::vector<std::vector<uint64_t>> next(kBuckets);
  std::mutex guard;
  ExpectBucketsReadBack<Wide>(*rig.stream, expected, 2, 0, [&](const std::vector<Wide>& chunk) {
    for (const Wide& w : chunk) {
      rig.stream->Append(NextBucket(w.id), &w.id, 1);
      std::lock_guard lock(guard);
      next[NextBucket(w.id)].push_back(w.id);
    }
  });
  EXPECT_EQ(rig.stream->TakeDroppedEntries(), 0u);

  rig.stream->HandOver(0, 8, 0, rig.side[0].data(), rig.side[1].data());
  ExpectBucketsReadBack<uint64_t>(*rig.stream, next, 2);
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);
}

// A bucket read in the middle holds a broken current block and a full read-ahead queue; saving it
// then must not need a run longer than the queue may grow.
TEST(MultiFileStream, FlushOfAFullReadAheadQueue) {
  Rig rig(1);
  const uint64_t blocks = 300;
  std::vector<uint64_t> sizes(kBuckets, 0);
  sizes[0] = blocks * 256;
  rig.SameRegions(sizes);
  rig.Feed(0, 0, 16, kBuckets);
  std::vector<Wide> entries(sizes[0]);
  std::vector<std::vector<uint64_t>> expected(kBuckets);
  for (uint64_t i = 0; i < entries.size(); ++i) {
    entries[i] = MakeWide(0, 0, i);
    expected[0].push_back(entries[i].id);
  }
  rig.stream->Append(0, entries.data(), entries.size());
  rig.Flush();

  // Four whole blocks drained make room for a read-ahead run of the run floor; the fifth block
  // stays current and broken.
  rig.Feed(1, 16, 0, 0);
  std::vector<Wide> out(4 * 256 + 10);
  rig.stream->TakeEntries(out.data(), out.size());
  const uint64_t limit = rig.stream->MaxBlocksPerBucket();
  ASSERT_LT(limit + 1, blocks);
  ASSERT_TRUE(WaitFor([&] { return rig.stream->FreeBlocks() == kBlocks - limit - 1; }));
  rig.Flush();
  EXPECT_EQ(rig.tables[0][0], sizes[0] - out.size());

  rig.Feed(1, 16, 0, 0);
  for (const Wide& w : out) {
    expected[0].erase(std::find(expected[0].begin(), expected[0].end(), w.id));
  }
  ExpectBucketsReadBack<Wide>(*rig.stream, expected, 2);
  rig.stream->StopThreads();
}

// A step that ends with its file held back leaves the whole pool to the next step's read side.
// Its producers are also its readers: draining one bucket frees 8 blocks, spreading those entries
// needs 128. The stream must find blocks by itself; run in a child so a hang fails the test.
TEST(MultiFileStream, ReadSideHoldingThePoolLeavesBlocksForProducers) {
  ChildProcess child([] {
    PauseMask mask{~0ull};
    Rig rig(1, &mask);
    const std::vector<uint64_t> sizes(kBuckets, 7 * 256 + 100);
    rig.SameRegions(sizes);
    rig.Feed(0, 0, 16, kBuckets);
    const auto expected = Produce(*rig.stream, sizes, 1);
    if (rig.stream->FreeBlocks() != 0) return Say("pool not taken");
    rig.stream->HandOver(1, 16, 16, rig.side[0].data(), rig.side[1].data());
    mask = 0;
    ExpectBucketsReadBack<Wide>(*rig.stream, expected, 1, 0, [&](const std::vector<Wide>& c) {
      for (const Wide& w : c) rig.stream->Append(NextBucket(w.id), &w, 1);
    });
    Say(::testing::Test::HasFailure() ? "entries lost" : "ok");
  });
  EXPECT_EQ(child.ReadLine(20000).value_or("hung"), "ok");
}

TEST(MultiFileStream, InconsistentStoredCountsAndMisuse) {
  Rig rig(2);
  std::vector<uint64_t> sizes(kBuckets, 2000);
  uint64_t offset = rig.SameRegions(sizes);
  rig.stream->Begin(rig.files.data(), 2, offset, {});

  // More stored for the write side than the region may take.
  rig.tables[0][5] = 1500;
  rig.tables[1][5] = 501;
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.Feed(0, 16, 16, 0); }),
            "invalid temp file: 83139FEF");
  EXPECT_TRUE(rig.stream->IsIdle());

  // Two files each claiming a broken block of the same bucket.
  rig.tables[0][5] = 0;
  rig.tables[1][5] = 0;
  rig.tables[0][128 + 9] = 300;
  rig.tables[1][128 + 9] = 10;
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.Feed(0, 16, 16, 0); }),
            "invalid temp file: E9329646");
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);

  // Counts past what the file holds: the read-back comes up short.
  rig.tables[0][128 + 9] = 0;
  rig.tables[1][128 + 9] = 0;
  rig.tables[0][128 + 200 - 128] = 256 * 300;
  const auto stored = rig.Stored();
  EXPECT_EQ(ThrownText<std::runtime_error>([&] {
              rig.stream->Feed(rig.files.data(), 2, stored.data(), 1, 0, 16, 16, rig.side[0].data(),
                               rig.side[1].data(), 0);
            }),
            "6284948D");
  rig.side[1][72].capacityEntries = 256 * 400;
  rig.side[1][72].baseOffset = offset;  // beyond the end of the file
  rig.Feed(0, 16, 16, 72);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.Feed(0, 16, 16, 0); }), "A7DFF06B");
  EXPECT_EQ(
      ThrownText<std::runtime_error>([&] { rig.stream->Begin(rig.files.data(), 2, offset, {}); }),
      "B495CDC4");
  std::vector<Wide> out(10);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->TakeEntries(out.data(), 10); }),
            "invalid temp file: 7B41D2E8");
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);

  // A bucket that holds nothing anywhere cannot deliver: an error instead of waiting forever.
  for (CountTable& t : rig.tables) t.fill(0);
  rig.tables[1][128 + 3] = 512;
  rig.Feed(0, 16, 16, 3);
  rig.stream->TakeEntries(out.data(), 10);
  std::vector<Wide> rest(502);
  rig.stream->TakeEntries(rest.data(), 502);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->TakeEntries(out.data(), 1); }),
            "invalid temp file: 3C9E5A17");
  rig.stream->SetReadBucket(4);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->TakeEntries(out.data(), 1); }),
            "invalid temp file: 3C9E5A17");

  std::vector<uint32_t*> tables{rig.tables[0].data()};
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->Flush(tables.data(), 1, {}); }),
            "F791B8E2");
  rig.stream->StopThreads();
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.Flush(); }), "A48E686E");

  // A block kept outside the stream shows when the stream stops; the low-water mark saw it.
  for (CountTable& t : rig.tables) t.fill(0);
  rig.Feed(0, 16, 16, kBuckets);
  EXPECT_EQ(rig.stream->LowWaterMark(), kBlocks);
  MultiFileStream::Block* kept = rig.stream->TakeFreeBlock();
  MultiFileStream::Block* second = rig.stream->TakeFreeBlock();
  rig.stream->ReturnBlock(second);
  EXPECT_EQ(rig.stream->LowWaterMark(), kBlocks - 2);
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks - 1);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->StopThreads(); }), "997ED9D5");
  rig.stream->ReturnBlock(kept);
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);

  // A step that writes nothing refuses entries even where a region has room.
  rig.Feed(0, 16, 0, kBuckets);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->Append(0, out.data(), 1); }),
            "E1A5F04C");
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);
  rig.stream->StopThreads();
}

TEST(MultiFileStream, FlushOfNothingKeepsCountsAndBudgetClips) {
  Rig rig(2);
  std::vector<uint64_t> sizes(kBuckets, 3000);
  uint64_t offset = rig.SameRegions(sizes);
  rig.stream->Begin(rig.files.data(), 2, offset, {});
  for (uint64_t b = 0; b < kBuckets; ++b) rig.tables[b % 2][b] = 512;  // whole blocks
  const auto before = rig.tables;
  rig.Feed(0, 16, 16, kBuckets);
  std::vector<double> progress;
  rig.Flush(&progress);
  ASSERT_FALSE(progress.empty());
  for (double p : progress) EXPECT_EQ(p, 1.0);
  EXPECT_EQ(rig.tables, before);

  // Bucket 7 may take 3000 - 512 more entries; the rest is dropped and counted.
  rig.Feed(0, 16, 16, kBuckets);
  std::vector<Wide> entries(3000);
  for (uint64_t i = 0; i < entries.size(); ++i) entries[i] = MakeWide(7, 0, i);
  rig.stream->Append(7, entries.data(), 2000);
  EXPECT_EQ(rig.stream->TakeDroppedEntries(), 0u);
  rig.stream->Append(7, entries.data() + 2000, 1000);
  EXPECT_EQ(rig.stream->TakeDroppedEntries(), 512u);
  EXPECT_EQ(rig.stream->TakeDroppedEntries(), 0u);
  EXPECT_EQ(rig.stream->HeldEntries(0, 7), 3000u);
  rig.Flush();
  EXPECT_EQ(rig.Stored(0, 7), 3000u);

  // Destroying a stream whose threads still run stops them instead of ending the process.
  rig.Feed(0, 16, 16, kBuckets);
  rig.stream->Append(9, entries.data(), 1000);
  rig.NewStream();
  EXPECT_TRUE(rig.stream->IsIdle());
}

TEST(MultiFileStream, BeginSizesFilesAndStops) {
  Rig rig(2);
  const uint64_t target = 3 * 131072 + 4096 * 5;
  const std::vector<uint8_t> old = RandomBytes(target + 8192 + 100, 3);
  std::vector<double> seen;
  // Space reserved by the file system and zeros written where it cannot reserve read the same.
  for (const bool writeZeros : {false, true}) {
    SCOPED_TRACE(writeZeros ? "zeros written" : "space reserved");
    rig.owned.clear();
    rig.files.clear();
    WriteWholeFile(rig.dir / "temp0", old);
    WriteWholeFile(rig.dir / "temp1", std::vector<uint8_t>(4096, 0));
    for (int f = 0; f < 2; ++f) {
      rig.owned.push_back(std::make_unique<FaultFile>());
      rig.owned.back()->Open(rig.dir / ("temp" + std::to_string(f)), false);
      rig.owned.back()->writeZeros = writeZeros;
      rig.files.push_back(rig.owned.back().get());
    }
    seen.clear();
    rig.stream->Begin(rig.files.data(), 2, target - 100, [&](double p) {
      seen.push_back(p);
      return true;
    });
    EXPECT_EQ(seen.back(), 1.0);
    const auto longer = ReadWholeFile(rig.dir / "temp0");
    ASSERT_EQ(longer.size(), target);
    EXPECT_TRUE(std::equal(longer.begin(), longer.end(), old.begin()));
    const auto grown = ReadWholeFile(rig.dir / "temp1");
    ASSERT_EQ(grown.size(), target);
    EXPECT_TRUE(std::all_of(grown.begin(), grown.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(rig.files[1]->GetSize(), static_cast<int64_t>(target));
  }

  // Already at size: done at once.
  seen.clear();
  rig.stream->Begin(rig.files.data(), 2, target, [&](double p) {
    seen.push_back(p);
    return true;
  });
  EXPECT_EQ(seen, std::vector<double>{1.0});

  // A file that is not open cannot be sized; nothing is left running.
  FaultFile closed;
  DirectFile* withClosed[] = {rig.files[0], &closed};
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->Begin(withClosed, 2, target, {}); }),
            "300E29A7");

  // A progress callable that throws leaves no growth thread behind.
  EXPECT_EQ(ThrownText<std::runtime_error>([&] {
              rig.stream->Begin(rig.files.data(), 2, target, [](double) -> bool {
                throw std::runtime_error("progress failed");
              });
            }),
            "progress failed");
  rig.stream->Begin(rig.files.data(), 2, target, {});

  // A progress callable that says stop ends the growth, even while the files are held back.
  PauseMask mask{~0ull};
  rig.NewStream(&mask);
  int calls = 0;
  rig.stream->Begin(rig.files.data(), 2, 64ull << 30, [&](double) { return ++calls < 3; });
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(rig.files[0]->GetSize(), static_cast<int64_t>(target));
  EXPECT_EQ(rig.files[1]->GetSize(), static_cast<int64_t>(target));
}

TEST(MultiFileStream, FailuresReachCallersAndBlocksComeBack) {
  Rig rig(2);
  std::vector<uint64_t> sizes(kBuckets, 40000);
  rig.SameRegions(sizes);

  // Write-behind fails: a later Append says so, and stopping finds every block free.
  rig.Feed(0, 0, 16, kBuckets);
  rig.owned[1]->failWritesFrom = 0;
  std::vector<Wide> chunk(512);
  bool thrown = false;
  for (uint64_t round = 0; round < 100000 && !thrown; ++round) {
    try {
      rig.stream->Append(round % kBuckets, chunk.data(), chunk.size());
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "injected write failure");
      thrown = true;
    }
  }
  EXPECT_TRUE(thrown);
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);

  // Flush fails.
  rig.owned[1]->failWritesFrom = FaultFile::kNever;
  rig.Feed(0, 0, 16, kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) rig.stream->Append(b, chunk.data(), 300);
  rig.owned[0]->failWritesFrom = 0;
  rig.owned[1]->failWritesFrom = 0;
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.Flush(); }), "injected write failure");
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);

  // Read-ahead fails.
  rig.owned[0]->failWritesFrom = FaultFile::kNever;
  rig.owned[1]->failWritesFrom = FaultFile::kNever;
  for (CountTable& t : rig.tables) t.fill(0);
  rig.Feed(0, 0, 16, kBuckets);
  for (uint64_t b = 0; b < kBuckets; ++b) rig.stream->Append(b, chunk.data(), 512);
  rig.Flush();
  rig.owned[0]->failReadsFrom = 0;
  rig.owned[1]->failReadsFrom = 0;
  rig.Feed(1, 16, 16, 0);
  std::vector<Wide> out(600);
  EXPECT_EQ(ThrownText<std::runtime_error>([&] { rig.stream->TakeEntries(out.data(), 600); }),
            "injected read failure");
  rig.stream->StopThreads();
  EXPECT_EQ(rig.stream->FreeBlocks(), kBlocks);
}

}  // namespace
