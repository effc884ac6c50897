#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/bucket_sink.h"
#include "runtime/memory_arena.h"
#include "runtime/thread_pool.h"

// Shared pieces of the proof-of-space benchmarks: a worker pool of a given size and a sink that
// takes 64-entry batches the way the in-memory bucket sinks do (atomic reservation, one copy)
// but wraps around inside a fixed ring per bucket so memory stays bounded.

inline uint64_t BenchCores() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// Runs a benchmark on one core and, where there are more, on all of them (the argument is the
// worker count), with times taken around each job.
inline void OneCoreAndAllCores(benchmark::internal::Benchmark* b) {
  b->Arg(1);
  if (BenchCores() > 1) b->Arg(static_cast<int64_t>(BenchCores()));
  b->UseManualTime()->Unit(benchmark::kMillisecond);
}

class BenchPool {
 public:
  explicit BenchPool(uint64_t workers)
      : arena_([](const std::string&) {}), pool_(ThreadPool::Create(arena_, workers, nullptr, 0)) {}
  ~BenchPool() { ThreadPool::Stop(pool_); }
  ThreadPool& operator*() { return *pool_; }
  ThreadPool* operator->() { return pool_.get(); }

  // Wall time of one job, in seconds.
  double Timed(const ThreadPool::Task& task, uint64_t parts) {
    auto t0 = std::chrono::steady_clock::now();
    pool_->Run(task, parts);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

 private:
  MemoryArena arena_;
  ThreadPool::Handle pool_;
};

template <size_t Width, uint32_t Buckets = 128>
class RingSink final : public BucketSink {
 public:
  static constexpr uint64_t kRingEntries = 1u << 14;
  RingSink() : data_(Buckets * kRingEntries * Width) {
    for (auto& f : fill_) f.store(0);
  }
  void Append(uint64_t bucket, const void* entries, uint64_t count) override {
    uint64_t at = fill_[bucket].fetch_add(count, std::memory_order_relaxed) % kRingEntries;
    uint64_t take = count < kRingEntries - at ? count : kRingEntries - at;
    std::memcpy(data_.data() + (bucket * kRingEntries + at) * Width, entries, take * Width);
  }
  uint64_t Total() const {
    uint64_t t = 0;
    for (const auto& f : fill_) t += f.load();
    return t;
  }

 private:
  std::vector<uint8_t> data_;
  std::atomic<uint64_t> fill_[Buckets];
};
