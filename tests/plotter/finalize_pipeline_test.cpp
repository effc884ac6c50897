#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "plotter/finalize_pipeline.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/test_seed.h"
#include "tests/support/thrown_text.h"

namespace {

using Pair = FinalizePipeline::Pair;

EntryBitmap& SharedBitmap() {
  static EntryBitmap bitmap = NewEntryBitmap(HeapArena());
  return bitmap;
}

// Pairs (x, y), y < x < limit, sorted by x then y, as a table pass hands them over.
std::vector<Pair> SortedPairs(uint64_t count, uint32_t limit, std::mt19937_64& random) {
  std::vector<Pair> pairs(count);
  for (Pair& p : pairs) {
    p.x = 1 + random() % (limit - 1);
    p.y = random() % p.x;
  }
  std::sort(pairs.begin(), pairs.end(),
            [](Pair a, Pair b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
  return pairs;
}

// Feeds the pairs in uneven batches, some larger than a part.
void Feed(FinalizePipeline& pipeline, const std::vector<Pair>& pairs, std::mt19937_64& random) {
  for (uint64_t at = 0; at < pairs.size();) {
    const uint64_t n = std::min<uint64_t>(1 + random() % 3000, pairs.size() - at);
    pipeline.RunTask(pairs.data() + at, n);
    at += n;
  }
}

// The line points of the pairs ranked among all their positions, in the order the pipeline must
// hand them on.
std::vector<uint64_t> ExpectedLinePoints(const std::vector<Pair>& pairs) {
  std::vector<uint64_t> marked;
  for (const Pair& p : pairs) marked.insert(marked.end(), {p.x, p.y});
  std::sort(marked.begin(), marked.end());
  marked.erase(std::unique(marked.begin(), marked.end()), marked.end());
  std::vector<uint64_t> expected;
  for (const Pair& p : pairs) {
    const uint64_t x = std::lower_bound(marked.begin(), marked.end(), p.x) - marked.begin();
    const uint64_t y = std::lower_bound(marked.begin(), marked.end(), p.y) - marked.begin();
    expected.push_back(x * (x - 1) / 2 + y);
  }
  std::sort(expected.begin(), expected.end());
  return expected;
}

}  // namespace

// Memory of a few hundred parts and of a single pair per part; counts that fill parts exactly;
// parts large enough to be bucketed by parts on the stage pools.
TEST(FinalizePipeline, MarksAndCompactsLikeAPlainWalk) {
  using Row = std::tuple<uint64_t, uint64_t, uint32_t>;  // memory, pairs, position limit
  const Row rows[] = {{48 * 300, 200000, 1 << 20},
                      {48, 4000, 5000},
                      {48 * 1000, 3000, 0xFFFFFFFF},
                      {48 * 4096, 4096 * 3 * 4, 70000},
                      {48 * 100000, 700000, 1 << 22}};
  std::mt19937_64 random(TestSeed());
  EntryBitmap& bitmap = SharedBitmap();
  for (const auto& [memory, count, limit] : rows) {
    FinalizePipeline pipeline(memory, HeapArena(), 2);
    const std::vector<Pair> pairs = SortedPairs(count, limit, random);
    bitmap.Clear();
    pipeline.SetConsumer(&bitmap, nullptr);
    Feed(pipeline, pairs, random);
    pipeline.WaitAllStages();
    std::vector<uint64_t> marked;
    for (const Pair& p : pairs) marked.insert(marked.end(), {p.x, p.y});
    std::sort(marked.begin(), marked.end());
    marked.erase(std::unique(marked.begin(), marked.end()), marked.end());
    bitmap.Rank();
    EXPECT_EQ(bitmap.total, marked.size());
    EXPECT_GE(bitmap.dirtyWords * 64, marked.back() + 1);
    for (uint64_t v : marked) ASSERT_TRUE((bitmap.Words()[v >> 6] >> (v & 63)) & 1) << v;
    std::vector<uint64_t> got;
    pipeline.SetConsumer(&bitmap, [&](const uint64_t* linePoints, uint64_t n) {
      EXPECT_LE(n, FinalizePipeline::kBatch);
      got.insert(got.end(), linePoints, linePoints + n);
    });
    Feed(pipeline, pairs, random);
    pipeline.WaitAllStages();
    // In order, as the park encoder needs them.
    EXPECT_EQ(got, ExpectedLinePoints(pairs)) << memory;
  }
}

// While the consumer holds one part, the producer fills every other part and the first two stages
// work them: the producer returns from all but the last pair they hold. Memory of two parts of one
// pair and of four parts.
TEST(FinalizePipeline, OtherPartsMoveOnWhileTheConsumerHoldsOne) {
  std::mt19937_64 random(TestSeed());
  EntryBitmap& bitmap = SharedBitmap();
  using Row = std::pair<uint64_t, uint64_t>;  // memory, pairs
  for (const auto& [memory, count] : {Row{48, 300}, Row{48 * 2, 300}, Row{48 * 5000, 30000}}) {
    FinalizePipeline pipeline(memory, HeapArena(), 3);
    const std::vector<Pair> pairs = SortedPairs(count, 1 << 18, random);
    bitmap.Clear();
    pipeline.SetConsumer(&bitmap, nullptr);
    pipeline.RunTask(pairs.data(), pairs.size());
    pipeline.WaitAllStages();
    bitmap.Rank();
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false, fed = false;
    std::vector<uint64_t> got;
    pipeline.SetConsumer(&bitmap, [&](const uint64_t* linePoints, uint64_t n) {
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait(lock, [&] { return release; });
      got.insert(got.end(), linePoints, linePoints + n);
    });
    const uint64_t ahead = pipeline.Parts() * pipeline.Capacity() - 1;
    ASSERT_LT(ahead, pairs.size());
    std::thread producer([&] {
      pipeline.RunTask(pairs.data(), ahead);
      {
        std::lock_guard<std::mutex> lock(mutex);
        fed = true;
      }
      cv.notify_all();
    });
    {
      // Only guards against a hang: a producer held by the consumer never gets here.
      std::unique_lock<std::mutex> lock(mutex);
      EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return fed; })) << memory;
      release = true;
    }
    cv.notify_all();
    producer.join();
    pipeline.RunTask(pairs.data() + ahead, pairs.size() - ahead);
    pipeline.WaitAllStages();
    EXPECT_EQ(got, ExpectedLinePoints(pairs)) << memory;
  }
}

// A failure on a stage thread reaches the producer; Reset then leaves a pipeline that works.
TEST(FinalizePipeline, StageFailuresReachTheProducerAndResetRecovers) {
  std::mt19937_64 random(TestSeed());
  EntryBitmap& bitmap = SharedBitmap();
  FinalizePipeline pipeline(48 * 200, HeapArena(), 2);
  const std::vector<Pair> pairs = SortedPairs(50000, 1 << 16, random);
  std::vector<Pair> unordered = pairs;
  std::swap(unordered[20000], unordered[30000]);
  // Marks `marking`, then compacts `compacting` with a consumer that fails at call `failAt`. The
  // counts outlive a failed pass: the stages may still call the consumer until Reset.
  uint64_t calls = 0, count = 0;
  auto pass = [&](const std::vector<Pair>& marking, uint64_t failAt,
                  const std::vector<Pair>& compacting) {
    calls = count = 0;
    bitmap.Clear();
    pipeline.SetConsumer(&bitmap, nullptr);
    Feed(pipeline, marking, random);
    pipeline.WaitAllStages();
    bitmap.Rank();
    pipeline.SetConsumer(&bitmap, [&, failAt](const uint64_t*, uint64_t n) {
      if (++calls == failAt) throw std::runtime_error("consumer failed");
      count += n;
    });
    Feed(pipeline, compacting, random);
    pipeline.WaitAllStages();
    return count;
  };
  // Pairs out of order are refused when marked and, within a part, when compacted.
  const uint64_t part = pipeline.Capacity() / 3;  // pairs a part holds when compacting
  std::vector<Pair> swappedY = pairs;
  size_t at = 20;
  while (at + 1 < pairs.size() && (pairs[at].x != pairs[at + 1].x ||
                                   pairs[at].y == pairs[at + 1].y || (at + 1) % part == 0)) {
    ++at;
  }
  ASSERT_LT(at + 1, pairs.size());
  std::swap(swappedY[at], swappedY[at + 1]);
  const std::tuple<std::vector<Pair>, uint64_t, std::vector<Pair>, std::string> rows[] = {
      {unordered, 0, pairs, "28374BB7"},
      {pairs, 3, pairs, "consumer failed"},
      {pairs, 0, swappedY, "28374BB7"},
  };
  for (const auto& [marking, failAt, compacting, text] : rows) {
    EXPECT_EQ(ThrownText<std::runtime_error>(
                  [&, &marking = marking, failAt = failAt, &compacting = compacting] {
                    pass(marking, failAt, compacting);
                  }),
              text);
    pipeline.Reset();
    EXPECT_EQ(pass(pairs, 0, pairs), pairs.size());
  }
}

// Both ways of counting bits, where this processor has them, agree with a bit-by-bit count on
// words of every kind, alone and in runs, and rank positions as a search of the set bits does.
TEST(FinalizePipeline, BitCountsAgreeWithABitByBitCount) {
  std::mt19937_64 random(TestSeed());
  std::vector<uint64_t> words = {0, ~uint64_t{0}, 0x8000000000000000, 0x5555555555555555};
  for (int bit = 0; bit < 64; ++bit) words.push_back(uint64_t{1} << bit);
  for (int i = 0; i < 200; ++i) words.push_back(random() & random());
  auto bitByBit = [](uint64_t w) {
    uint64_t n = 0;
    for (int bit = 0; bit < 64; ++bit) n += (w >> bit) & 1;
    return n;
  };
  EntryBitmap& bitmap = SharedBitmap();
  bitmap.Clear();
  const uint32_t limit = 1 << 20;
  std::vector<uint32_t> set;
  for (uint32_t v = 0; v < limit; ++v) {
    if (random() % 5 == 0) set.push_back(v);
  }
  for (uint32_t v : set) bitmap.Words()[v >> 6] |= uint64_t{1} << (v & 63);
  bitmap.Cover(limit);
  bitmap.Rank();
  EXPECT_EQ(bitmap.total, set.size());
  const std::vector<Pair> pairs = SortedPairs(20000, limit, random);
  EXPECT_TRUE(BitCountSupported(BitCount::kPortable));
  for (BitCount how : {BitCount::kPortable, BitCount::kInstruction}) {
    if (!BitCountSupported(how)) continue;
    uint64_t total = 0;
    for (const uint64_t& w : words) {
      ASSERT_EQ(CountBits(&w, 1, how), bitByBit(w)) << std::hex << w;
      total += bitByBit(w);
    }
    EXPECT_EQ(CountBits(words.data(), words.size(), how), total);
    EXPECT_EQ(CountBits(words.data(), 0, how), 0u);
    for (bool second : {false, true}) {
      std::vector<Pair> ranked = pairs;
      RankPairPositions(bitmap, ranked.data(), ranked.size(), second, how);
      for (size_t i = 0; i < pairs.size(); ++i) {
        const uint32_t position = second ? pairs[i].y : pairs[i].x;
        const uint64_t rank = std::lower_bound(set.begin(), set.end(), position) - set.begin();
        ASSERT_EQ(second ? ranked[i].y : ranked[i].x, rank) << i;
        ASSERT_EQ(second ? ranked[i].x : ranked[i].y, second ? pairs[i].x : pairs[i].y);
      }
    }
  }
}
