// Radix sorts in bytes per second beside a memcpy of the same bytes in the same run (memory
// bandwidth bounds both), one core and all cores, each worker on its own bucket-sized array.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/pos_bench_support.h"
#include "chia/bc_group.h"
#include "chia/sort_kernels.h"

namespace {

enum Kind : int64_t { kU64, kRecords28, kRecords12, kEntriesByGroup };

struct Shape {
  size_t width;
  uint64_t count;
};

// Bucket sizes as the engines use them: one in-memory bucket of the plot engine (159,096
// entries), one u64 bucket of 2^21 values, one recomputation bucket of 262,144 entries.
Shape ShapeOf(int64_t kind) {
  switch (kind) {
    case kU64:
      return {8, 1u << 21};
    case kRecords12:
      return {12, 159096};
    case kEntriesByGroup:
      return {8, 262144};
    default:
      return {28, 159096};
  }
}

void FillRandom(std::vector<uint8_t>& v, int64_t kind, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  if (kind == kEntriesByGroup) {
    // Keys as F1 produces them: group within the bucket and y mod kBC.
    for (size_t off = 0; off + 8 <= v.size(); off += 8) {
      auto key = static_cast<uint32_t>((rng() % kGroupsPerBucket) << 14 | (rng() % kBC));
      std::memcpy(v.data() + off + 4, &key, 4);
    }
  }
}

void Sort(int64_t kind, uint8_t* d, uint64_t n, uint8_t* s) {
  switch (kind) {
    case kU64:
      RadixSortU64(reinterpret_cast<uint64_t*>(d), n, reinterpret_cast<uint64_t*>(s), n);
      break;
    case kRecords28:
      RadixSortRecords28(d, n, s, n);
      break;
    case kRecords12:
      RadixSortRecords12(d, n, s, n);
      break;
    default:
      RadixSortEntriesByGroup(d, n, s, n);
      break;
  }
}

void BM_Sort(benchmark::State& state) {
  int64_t kind = state.range(0);
  bool copyOnly = state.range(1) != 0;  // the memcpy of the same bytes
  uint64_t threads = static_cast<uint64_t>(state.range(2));
  Shape shape = ShapeOf(kind);
  size_t bytes = shape.width * shape.count;
  BenchPool pool(threads);
  std::vector<std::vector<uint8_t>> input(threads), data(threads), scratch(threads);
  for (uint64_t t = 0; t < threads; ++t) {
    input[t].resize(bytes);
    FillRandom(input[t], kind, t + 1);
    data[t] = input[t];
    scratch[t].resize(bytes);
  }
  for (auto _ : state) {
    pool->Run([&](uint64_t, uint64_t part) { data[part] = input[part]; }, threads);
    double s = pool.Timed(
        [&](uint64_t, uint64_t part) {
          if (copyOnly) {
            std::memcpy(scratch[part].data(), data[part].data(), bytes);
          } else {
            Sort(kind, data[part].data(), shape.count, scratch[part].data());
          }
        },
        threads);
    state.SetIterationTime(s);
  }
  double total = static_cast<double>(state.iterations() * threads * bytes);
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["bytes_per_s_per_core"] =
      benchmark::Counter(total / static_cast<double>(threads), benchmark::Counter::kIsRate,
                         benchmark::Counter::kIs1024);
}

void Args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kind", "memcpy", "threads"});
  for (int64_t kind : {kRecords28, kRecords12, kU64, kEntriesByGroup}) {
    for (int64_t copy : {1, 0}) {
      b->Args({kind, copy, 1});
      if (BenchCores() > 1) b->Args({kind, copy, static_cast<int64_t>(BenchCores())});
    }
  }
  b->UseManualTime()->Unit(benchmark::kMicrosecond);
}

// kind: 0 u64 (2^21 values), 1 28-byte records, 2 12-byte records, 3 entries by group;
// memcpy:1 copies the same bytes instead of sorting them.
BENCHMARK(BM_Sort)->Apply(Args);

}  // namespace
