// Matching of adjacent BC groups plus f2 on real F1 output: bucket 0 of one plot id (all its
// 142,096 groups, about 33.5 million entries), sorted by group as the recomputation sorts them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/pos_bench_support.h"
#include "chia/bc_group.h"
#include "chia/chacha8.h"
#include "chia/f1.h"
#include "chia/find_matches.h"
#include "chia/fx.h"
#include "chia/fx_batch.h"
#include "chia/sort_kernels.h"

namespace {

constexpr uint32_t kGroups = kGroupsPerBucket;

struct Bucket {
  std::vector<PrefixF1Entry> entries;
  std::vector<uint64_t> start;  // kGroups + 1 offsets
};

const Bucket& RealBucket() {
  static const Bucket kBucket = [] {
    uint8_t plotId[32];
    for (int i = 0; i < 32; ++i) plotId[i] = static_cast<uint8_t>(0xA0 + i);
    uint8_t key[32];
    MakeF1Key(plotId, key);
    uint32_t state[16];
    MakeF1State(key, state);
    std::mutex mu;
    Bucket b;
    BenchPool pool(BenchCores());
    const uint64_t parts = 4096;  // 2^28 blocks in all
    pool->Run(
        [&](uint64_t, uint64_t part) {
          std::vector<PrefixF1Entry> mine;
          alignas(64) uint32_t blocks[32][16];
          uint64_t first = part << 16;
          for (uint64_t n = first; n < first + (1u << 16); n += 32) {
            ChaCha8Blocks(state, static_cast<uint32_t>(n), 32, blocks[0]);
            for (uint32_t k = 0; k < 32; ++k) {
              for (uint32_t j = 0; j < 16; ++j) {
                auto x = static_cast<uint32_t>(((n + k) << 4) | j);
                BcKey s = SplitY(F1FromWord(blocks[k][j], x));
                if (s.bucket == 0 && (s.key >> 14) < kGroups) {
                  mine.push_back({__builtin_bswap32(x), s.key});
                }
              }
            }
          }
          std::lock_guard<std::mutex> lock(mu);
          b.entries.insert(b.entries.end(), mine.begin(), mine.end());
        },
        parts);
    std::vector<PrefixF1Entry> scratch(b.entries.size());
    RadixSortEntriesByGroup(b.entries.data(), b.entries.size(), scratch.data(), b.entries.size());
    b.start.assign(kGroups + 1, 0);
    for (const auto& e : b.entries) ++b.start[(e.key >> 14) + 1];
    for (uint32_t g = 0; g < kGroups; ++g) b.start[g + 1] += b.start[g];
    return b;
  }();
  return kBucket;
}

enum class F2Mode { kNone, kSingle, kBatch };

template <F2Mode Mode>
void RunMatching(benchmark::State& state, SimdLevel level = BestSimdLevel()) {
  const Bucket& b = RealBucket();
  uint64_t threads = static_cast<uint64_t>(state.range(0));
  BenchPool pool(threads);
  std::vector<std::unique_ptr<MatchScratch>> scratch(threads);
  for (auto& s : scratch) s = std::make_unique<MatchScratch>();
  const uint64_t parts = 256;
  std::atomic<uint64_t> pairs{0};
  std::atomic<uint64_t> fold{0};
  for (auto _ : state) {
    double s = pool.Timed(
        [&](uint64_t worker, uint64_t part) {
          MatchPair out[512];
          uint64_t ys[512], fs[512];
          uint32_t xl[512], xr[512];
          uint64_t found = 0, acc = 0;
          uint64_t g0 = part * (kGroups - 1) / parts, g1 = (part + 1) * (kGroups - 1) / parts;
          for (uint64_t g = g0; g < g1; ++g) {
            const PrefixF1Entry* left = &b.entries[b.start[g]];
            const PrefixF1Entry* right = &b.entries[b.start[g + 1]];
            uint64_t n = find_matches_detail::FindMatchesAt(
                level, sizeof(PrefixF1Entry), *scratch[worker], &left->key,
                b.start[g + 1] - b.start[g], &right->key, b.start[g + 2] - b.start[g + 1],
                static_cast<uint32_t>(g & 1), out, 512);
            found += n;
            for (uint64_t i = 0; i < n; ++i) {
              if constexpr (Mode == F2Mode::kSingle) {
                const PrefixF1Entry& l = left[out[i].left];
                const PrefixF1Entry& r = right[out[i].right];
                acc += ComputeF2(JoinY(l.key, 0), __builtin_bswap32(l.xBigEndian),
                                 __builtin_bswap32(r.xBigEndian));
              } else if constexpr (Mode == F2Mode::kBatch) {
                const PrefixF1Entry& l = left[out[i].left];
                ys[i] = JoinY(l.key, 0);
                xl[i] = __builtin_bswap32(l.xBigEndian);
                xr[i] = __builtin_bswap32(right[out[i].right].xBigEndian);
              } else {
                acc += out[i].right;
              }
            }
            if constexpr (Mode == F2Mode::kBatch) {
              ComputeF2Batch(ys, xl, xr, n, fs);
              for (uint64_t i = 0; i < n; ++i) acc += fs[i];
            }
          }
          pairs += found;
          fold += acc;
        },
        parts);
    state.SetIterationTime(s);
  }
  double total = static_cast<double>(pairs.load());
  state.SetItemsProcessed(static_cast<int64_t>(total));
  state.counters["pairs_per_s_per_core"] =
      benchmark::Counter(total / static_cast<double>(threads), benchmark::Counter::kIsRate);
  state.counters["entries"] = static_cast<double>(b.entries.size());
  state.counters["pairs_per_pass"] = total / static_cast<double>(state.iterations());
  benchmark::DoNotOptimize(fold.load());
}

void BM_MatchAndF2(benchmark::State& state) { RunMatching<F2Mode::kSingle>(state); }
// The same with each group pair's f2 values hashed as one batch.
void BM_MatchAndF2Batch(benchmark::State& state) { RunMatching<F2Mode::kBatch>(state); }
void BM_MatchOnly(benchmark::State& state) { RunMatching<F2Mode::kNone>(state); }
// Matching alone with the scan of one instruction-set level (0 portable, 1 AVX2, 2 AVX-512).
void BM_MatchOnlyAt(benchmark::State& state) {
  auto level = static_cast<SimdLevel>(state.range(1));
  if (!SimdLevelSupported(level)) {
    state.SkipWithError("instruction set not available");
    return;
  }
  RunMatching<F2Mode::kNone>(state, level);
}

BENCHMARK(BM_MatchAndF2)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_MatchAndF2Batch)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_MatchOnly)->Apply(OneCoreAndAllCores);
BENCHMARK(BM_MatchOnlyAt)
    ->ArgNames({"threads", "simd"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({1, 2})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
