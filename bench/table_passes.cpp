// Each (step, sub-step) of forward propagation on production-density data (d = 0), per input
// bucket: distribution into the in-memory buckets, their sort, then the matching kernel
// (sub-step 0) or the value loop and the regroup into the next step's buckets (sub-step 1).
// Temp files and the park encoder are left out (they have their own benchmarks): the outputs go
// to bounded ring sinks. The input is a sixteenth of a bucket, all of its groups at full
// population, so the per-bucket time is 16 times a run; counters give entries per second per
// core and the projected k = 32 time of the pass (128 buckets).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "bench/array_source.h"
#include "bench/pos_bench_support.h"
#include "chia/find_matches.h"
#include "chia/sort_kernels.h"
#include "plotter/distribution_pass.h"
#include "plotter/engine_buffers.h"
#include "plotter/match_kernels.h"

namespace {

constexpr uint64_t kSlices = 16;  // in-memory buckets filled: 1/16 of an input bucket
constexpr uint64_t kEntries = (uint64_t{1} << 25) / kSlices;
constexpr uint64_t kCapacity = 169096;
constexpr uint64_t kRangeMem = uint64_t{1} << 40;

struct Pass {
  const char* name;
  uint64_t in, out;
  DistributionKernel distribute;
  void (*groupSort)(void*, uint64_t, void*, uint64_t*, uint64_t*);  // sub-step 0
  MatchKernel match;
  void (*radix)(void*, uint64_t, void*, uint64_t);  // sub-step 1 and the last table
  RegroupKernel regroup;
};

void SortU64(void* data, uint64_t count, void* scratch, uint64_t) {
  RadixSortU64(static_cast<uint64_t*>(data), count, static_cast<uint64_t*>(scratch));
}

const Pass kPasses[] = {
    {"1", 8, 12, DistributeEntries8, SortBucketRecords8, MatchBucketAndHash, nullptr, nullptr},
    {"2/0", 12, 28, DistributeEntries12B, SortBucketRecords12, MatchBucketWide, nullptr, nullptr},
    {"2/1", 28, 24, DistributeEntries28, nullptr, nullptr, RadixSortRecords28, RegroupEntries28},
    {"3/0", 24, 28, DistributeEntries24B, SortBucketRecords24, MatchBucketFx4, nullptr, nullptr},
    {"3/1", 28, 24, DistributeEntries28, nullptr, nullptr, RadixSortRecords28, RegroupEntries28},
    {"4/0", 24, 24, DistributeEntries24B, SortBucketRecords24, MatchBucketFx5, nullptr, nullptr},
    {"4/1", 24, 20, DistributeEntries24, nullptr, nullptr, RadixSortRecords24, RegroupEntries24},
    {"5/0", 20, 20, DistributeEntries20B, SortBucketRecords20, MatchBucket, nullptr, nullptr},
    {"5/1", 20, 16, DistributeEntries20, nullptr, nullptr, RadixSortRecords20, RegroupEntries20},
    {"6/0", 16, 12, DistributeEntries16, SortBucketRecords16, MatchAndHashTable7, nullptr, nullptr},
    {"6/1", 12, 8, DistributeEntries12, nullptr, nullptr, RadixSortRecords12, RegroupEntries12},
    {"7", 8, 0, ScatterToBuckets, nullptr, nullptr, SortU64, nullptr},
};

// Keys of groups 0..16 x 556 at full population, line-point parents below 2^31, values over the
// first 16 in-memory buckets, next-step buckets anywhere.
std::vector<uint8_t> MakeInput(const Pass& pass) {
  std::vector<uint8_t> bytes(kEntries * pass.in);
  std::mt19937_64 random(pass.in);
  for (uint64_t i = 0; i < kEntries; ++i) {
    uint8_t* e = bytes.data() + i * pass.in;
    for (uint64_t b = 0; b < pass.in; ++b) e[b] = static_cast<uint8_t>(random());
    if (pass.match != nullptr) {
      const uint64_t key = (random() % (kSlices * 556)) << 14 | random() % 15113;
      const uint64_t word = (random() >> 33) << 32 | key;
      std::memcpy(e, &word, pass.in == 8 || pass.in == 12 ? 4 : 8);
    } else if (pass.out == 0) {
      const uint64_t v = (random() % (kSlices << 17)) << 32 | random() % 1000000;
      std::memcpy(e, &v, 8);
    } else {
      const uint64_t v = (random() >> 57) << 57 | random() % (kSlices * kRangeMem);
      std::memcpy(e + 4, &v, 8);
      if (pass.in == 12) e[3] = static_cast<uint8_t>(random() >> 57);  // K >> 25: the slot
    }
  }
  return bytes;
}

template <uint64_t W>
void Distribute(ThreadPool& pool, OwnedArray<BucketWriter<256>>& writers, uint8_t* const* data,
                const uint64_t* capacities, const DistributionJob& job, DistributionKernel kernel,
                uint64_t* counts) {
  InMemoryBucketSink<W> sink(data, capacities);
  RunDistribution(pool, writers, sink, job, kernel);
  TakeBucketCounts(sink, counts);
}

void BM_TablePass(benchmark::State& state) {
  const Pass& pass = kPasses[state.range(0)];
  const auto threads = static_cast<uint64_t>(state.range(1));
  const std::vector<uint8_t> input = MakeInput(pass);
  MemoryArena arena([](const std::string&) {});
  std::vector<std::vector<uint8_t>> buckets(256, std::vector<uint8_t>(kCapacity * pass.in));
  std::vector<uint8_t*> data;
  for (auto& b : buckets) data.push_back(b.data());
  std::vector<uint64_t> capacities(256, kCapacity), counts(256), start(256 * 556),
      length(256 * 556), values(kEntries);
  OwnedArray<BucketWriter<256>> writers256;
  OwnedArray<BucketWriter<128>> writers128;
  OwnedArray<MatchScratch> scratch;
  std::vector<std::vector<uint8_t>> sortScratch(threads, std::vector<uint8_t>(kCapacity * 28));
  writers256.Allocate(arena, threads);
  writers128.Allocate(arena, threads);
  scratch.Allocate(arena, threads);
  RingSink<28, 128> ring;
  for (uint64_t w = 0; w < threads; ++w) {
    auto writer = NewInArena<BucketWriter<256>>(arena);
    writer->AllocateBuffer(arena);
    writers256.Set(w, std::move(writer));
    writers128.Set(w, AllocateBlockBuffer(arena, arena));
    writers128[w]->Bind(&ring);
    scratch.Set(w, AllocateMatchScratch(arena, arena));
  }
  BenchPool pool(threads);
  uint64_t produced = 0;
  for (auto _ : state) {
    ArraySource source;
    source.bytes = input.data();
    source.width = pass.in;
    const DistributionJob job{&source, kEntries, 142096, kRangeMem};
    const auto t0 = std::chrono::steady_clock::now();
    switch (pass.in) {
      case 8:
        Distribute<8>(*pool, writers256, data.data(), capacities.data(), job, pass.distribute,
                      counts.data());
        break;
      case 12:
        Distribute<12>(*pool, writers256, data.data(), capacities.data(), job, pass.distribute,
                       counts.data());
        break;
      case 16:
        Distribute<16>(*pool, writers256, data.data(), capacities.data(), job, pass.distribute,
                       counts.data());
        break;
      case 20:
        Distribute<20>(*pool, writers256, data.data(), capacities.data(), job, pass.distribute,
                       counts.data());
        break;
      case 24:
        Distribute<24>(*pool, writers256, data.data(), capacities.data(), job, pass.distribute,
                       counts.data());
        break;
      default:
        Distribute<28>(*pool, writers256, data.data(), capacities.data(), job, pass.distribute,
                       counts.data());
        break;
    }
    pool->RunForEachBucket([&](uint64_t w, uint64_t b) {
      if (pass.groupSort != nullptr) {
        pass.groupSort(data[b], counts[b], sortScratch[w].data(), &start[b * 556],
                       &length[b * 556]);
      } else {
        pass.radix(data[b], counts[b], sortScratch[w].data(), 0);
      }
    });
    if (pass.match != nullptr) {
      const uint64_t range =
          pass.match == MatchBucketWide ? PrefixValueRange(0) : LinePointRange(uint64_t{1} << 31);
      const MatchJob match{data.data(),
                           start.data(),
                           length.data(),
                           3,
                           256 * 556,
                           {},
                           0,
                           ComputeValueRanges(range).rangeIn};
      pool->RunForEachBucket([&](uint64_t w, uint64_t task) {
        pass.match(match, *writers128[w], *scratch[w], sortScratch[w].data(), task);
      });
    } else {
      // The plot thread's value loop; the encoder itself runs on another thread.
      uint64_t n = 0;
      for (uint64_t b = 0; b < 256; ++b) {
        const uint8_t* e = data[b] + (pass.out == 0 ? 0 : 4);
        for (uint64_t j = 0; j < counts[b]; ++j, e += pass.in) {
          uint64_t v;
          std::memcpy(&v, e, 8);
          values[n++] = (v & ((uint64_t{1} << 56) - 1)) + b * kRangeMem;
        }
      }
      benchmark::DoNotOptimize(values.data());
      if (pass.regroup != nullptr) {
        std::vector<uint64_t> first(256);
        BucketStarts(counts.data(), 0, first.data());
        const RegroupJob regroup{data.data(), counts.data(), first.data()};
        RunRegroup(*pool, writers128, regroup, pass.regroup);
      }
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    produced += kEntries;
  }
  state.counters["entries_per_s"] =
      benchmark::Counter(static_cast<double>(produced), benchmark::Counter::kIsRate);
  state.counters["entries_per_s_per_core"] = benchmark::Counter(
      static_cast<double>(produced) / static_cast<double>(threads), benchmark::Counter::kIsRate);
  // Seconds of the pass over a whole k = 32 table: 128 buckets, each kSlices runs.
  state.counters["k32_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) / static_cast<double>(128 * kSlices),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(pass.name);
}

void PassArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"pass", "threads"});
  for (int64_t p = 0; p < 12; ++p) {
    b->Args({p, 1});
    if (BenchCores() > 1) b->Args({p, static_cast<int64_t>(BenchCores())});
  }
  b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
}

// pass: 0 = step 1, then 2/0, 2/1, ... 6/1, 11 = step 7; threads: worker count.
BENCHMARK(BM_TablePass)->Apply(PassArgs);

}  // namespace
