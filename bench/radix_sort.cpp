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

// One in-memory bucket as the plot engine sorts it, whose keys share their leading bits: the
// last table's u64 values (the bucket's top 15 bits fixed, 49 random below) or a by-value
// bucket's 28-byte records (keys below the bucket's value range, the next step's bucket in the
// top byte). The range is about 2^48 at k = 32 and 2^40 in a plot thinned 16 times, whose
// buckets also hold 16 times fewer entries.
void FillPlotBucket(std::vector<uint8_t>& v, bool records, unsigned rangeBits, uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  const uint64_t below = (uint64_t{1} << rangeBits) - 1;
  if (records) {
    for (size_t off = 0; off + 28 <= v.size(); off += 28) {
      const uint64_t value = (rng() & (uint64_t{0x7F} << 57)) | (rng() & below);
      std::memcpy(v.data() + off + 4, &value, 8);
    }
  } else {
    for (size_t off = 0; off + 8 <= v.size(); off += 8) {
      const uint64_t value = uint64_t{93} << 49 | (rng() & ((uint64_t{1} << 49) - 1));
      std::memcpy(v.data() + off, &value, 8);
    }
  }
}

void BM_SortPlotBucket(benchmark::State& state) {
  const bool records = state.range(0) != 0;
  const bool thinned = state.range(1) != 0;
  const size_t width = records ? 28 : 8;
  const uint64_t count = thinned ? 8192 : 131072;
  const size_t bytes = width * count;
  std::vector<uint8_t> input(bytes), data(bytes), scratch(bytes);
  FillPlotBucket(input, records, thinned ? 40 : 48, 1);
  for (auto _ : state) {
    state.PauseTiming();
    data = input;
    state.ResumeTiming();
    if (records) {
      RadixSortRecords28(data.data(), count, scratch.data(), count);
    } else {
      RadixSortU64(reinterpret_cast<uint64_t*>(data.data()), count,
                   reinterpret_cast<uint64_t*>(scratch.data()), count);
    }
    benchmark::DoNotOptimize(data.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

// records: 0 the last table's u64 values, 1 28-byte by-value records; thinned: 0 a k = 32
// bucket, 1 a bucket of a plot thinned 16 times.
BENCHMARK(BM_SortPlotBucket)
    ->ArgNames({"records", "thinned"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
