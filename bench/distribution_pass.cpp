// The distribution passes and the counting sort by group at production density, in bytes per
// second, beside a memcpy of the same bytes in the same run, on one core and on all cores.
// Distribution: one input bucket of 2^25 entries spread over the 256 in-memory buckets.
// Counting sort: one in-memory bucket of 2^17 records per worker, 556 groups.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "bench/array_source.h"
#include "bench/pos_bench_support.h"
#include "plotter/distribution_pass.h"

namespace {

constexpr uint64_t kInputEntries = uint64_t{1} << 25;
constexpr uint64_t kBucketRecords = uint64_t{1} << 17;
constexpr uint64_t kCapacity = 159096;

struct KernelCase {
  uint64_t width;
  DistributionKernel kernel;
  bool byValue;
};
const KernelCase kKernels[] = {
    {8, DistributeEntries8, false},    {12, DistributeEntries12B, false},
    {16, DistributeEntries16, false},  {20, DistributeEntries20B, false},
    {24, DistributeEntries24B, false}, {28, DistributeEntries28, true},
    {8, ScatterToBuckets, true},
};

// Keys of uniform groups and y parts; values spread over the 256 in-memory buckets.
std::vector<uint8_t> MakeInput(uint64_t width, bool byValue, uint64_t count, uint64_t range) {
  std::vector<uint8_t> bytes(count * width);
  std::mt19937_64 random(width);
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t* e = bytes.data() + i * width;
    for (uint64_t b = 0; b + 8 <= width; b += 8) {
      const uint64_t v = random();
      std::memcpy(e + b, &v, 8);
    }
    const uint64_t key = (random() % 142096) << 14 | random() % 15113;
    if (!byValue) std::memcpy(e, &key, 4);
    const uint64_t value = random() % (256 * range);
    if (byValue && width == 8) {
      const uint64_t v = random() >> 7;  // v >> 49 below 256
      std::memcpy(e, &v, 8);
    } else if (byValue) {
      std::memcpy(e + 4, &value, 8);
    }
  }
  return bytes;
}

template <uint64_t W>
void Distribute(ThreadPool& pool, OwnedArray<BucketWriter<256>>& writers, uint8_t* const* data,
                const uint64_t* capacities, const DistributionJob& job, DistributionKernel kernel) {
  InMemoryBucketSink<W> sink(data, capacities);
  RunDistribution(pool, writers, sink, job, kernel);
  if (sink.Dropped() != 0) throw std::runtime_error("bench bucket overflow");
}

void BM_Distribute(benchmark::State& state) {
  const KernelCase& k = kKernels[state.range(0)];
  const bool copyOnly = state.range(1) != 0;
  const auto threads = static_cast<uint64_t>(state.range(2));
  const uint64_t range = uint64_t{1} << 40;
  const uint64_t bytes = kInputEntries * k.width;
  std::vector<uint8_t> input = MakeInput(k.width, k.byValue, kInputEntries, range);
  std::vector<uint8_t> output(256 * kCapacity * k.width);
  std::vector<uint8_t*> data;
  for (uint64_t b = 0; b < 256; ++b) data.push_back(output.data() + b * kCapacity * k.width);
  std::vector<uint64_t> capacities(256, kCapacity);
  BenchPool pool(threads);
  MemoryArena arena([](const std::string&) {});
  OwnedArray<BucketWriter<256>> writers;
  writers.Allocate(arena, threads);
  for (uint64_t w = 0; w < threads; ++w) {
    auto writer = NewInArena<BucketWriter<256>>(arena);
    writer->AllocateBuffer(arena);
    writers.Set(w, std::move(writer));
  }
  for (auto _ : state) {
    ArraySource source;
    source.bytes = input.data();
    source.width = k.width;
    const DistributionJob job{&source, kInputEntries, 142096, k.width == 8 ? 0 : range};
    const auto t0 = std::chrono::steady_clock::now();
    if (copyOnly) {
      pool->RunForEachBucket([&](uint64_t, uint64_t part) {
        const uint64_t from = kInputEntries * part >> 8;
        std::memcpy(output.data() + from * k.width, input.data() + from * k.width,
                    TaskShare(kInputEntries, part) * k.width);
      });
    } else {
      switch (k.width) {
        case 8:
          Distribute<8>(*pool, writers, data.data(), capacities.data(), job, k.kernel);
          break;
        case 12:
          Distribute<12>(*pool, writers, data.data(), capacities.data(), job, k.kernel);
          break;
        case 16:
          Distribute<16>(*pool, writers, data.data(), capacities.data(), job, k.kernel);
          break;
        case 20:
          Distribute<20>(*pool, writers, data.data(), capacities.data(), job, k.kernel);
          break;
        case 24:
          Distribute<24>(*pool, writers, data.data(), capacities.data(), job, k.kernel);
          break;
        default:
          Distribute<28>(*pool, writers, data.data(), capacities.data(), job, k.kernel);
          break;
      }
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  const double total = static_cast<double>(state.iterations() * bytes);
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["bytes_per_s_per_core"] =
      benchmark::Counter(total / static_cast<double>(threads), benchmark::Counter::kIsRate,
                         benchmark::Counter::kIs1024);
}

using SortFn = void (*)(void*, uint64_t, void*, uint64_t*, uint64_t*);
SortFn SortOf(uint64_t width) {
  switch (width) {
    case 8:
      return SortBucketRecords8;
    case 12:
      return SortBucketRecords12;
    case 16:
      return SortBucketRecords16;
    case 20:
      return SortBucketRecords20;
    default:
      return SortBucketRecords24;
  }
}

void BM_CountingSort(benchmark::State& state) {
  const auto width = static_cast<uint64_t>(state.range(0));
  const bool copyOnly = state.range(1) != 0;
  const auto threads = static_cast<uint64_t>(state.range(2));
  const uint64_t bytes = kBucketRecords * width;
  std::vector<std::vector<uint8_t>> input(threads), data(threads), scratch(threads);
  std::vector<std::vector<uint64_t>> tables(threads, std::vector<uint64_t>(2 * 556));
  std::mt19937_64 random(width);
  for (uint64_t t = 0; t < threads; ++t) {
    input[t].resize(bytes);
    for (uint64_t i = 0; i < kBucketRecords; ++i) {
      uint8_t* e = input[t].data() + i * width;
      for (uint64_t b = 0; b < width; ++b) e[b] = static_cast<uint8_t>(random());
      const uint32_t key = static_cast<uint32_t>((random() % 556) << 14 | random() % 15113);
      std::memcpy(e, &key, 4);
    }
    data[t] = input[t];
    scratch[t].resize(bytes);
  }
  BenchPool pool(threads);
  for (auto _ : state) {
    pool->Run([&](uint64_t, uint64_t part) { data[part] = input[part]; }, threads);
    state.SetIterationTime(pool.Timed(
        [&](uint64_t, uint64_t part) {
          if (copyOnly) {
            std::memcpy(scratch[part].data(), data[part].data(), bytes);
          } else {
            SortOf(width)(data[part].data(), kBucketRecords, scratch[part].data(),
                          tables[part].data(), tables[part].data() + 556);
          }
        },
        threads));
  }
  const double total = static_cast<double>(state.iterations() * threads * bytes);
  state.SetBytesProcessed(static_cast<int64_t>(total));
  state.counters["bytes_per_s_per_core"] =
      benchmark::Counter(total / static_cast<double>(threads), benchmark::Counter::kIsRate,
                         benchmark::Counter::kIs1024);
}

void DistributeArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"kernel", "memcpy", "threads"});
  for (int64_t k = 0; k < 7; ++k) {
    for (int64_t copy : {1, 0}) {
      b->Args({k, copy, 1});
      if (BenchCores() > 1) b->Args({k, copy, static_cast<int64_t>(BenchCores())});
    }
  }
  b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
}

void SortArgs(benchmark::internal::Benchmark* b) {
  b->ArgNames({"width", "memcpy", "threads"});
  for (int64_t width : {8, 12, 16, 20, 24}) {
    for (int64_t copy : {1, 0}) {
      b->Args({width, copy, 1});
      if (BenchCores() > 1) b->Args({width, copy, static_cast<int64_t>(BenchCores())});
    }
  }
  b->UseManualTime()->Unit(benchmark::kMicrosecond);
}

// kernel: 0..4 by group at widths 8, 12, 16, 20, 24; 5 by value at 28; 6 scatter (8 bytes).
// memcpy:1 copies the same bytes instead.
BENCHMARK(BM_Distribute)->Apply(DistributeArgs);
// width: record bytes; memcpy:1 copies the same bytes instead.
BENCHMARK(BM_CountingSort)->Apply(SortArgs);

}  // namespace
