// Cost of handing a task to a ThreadPool and waiting for it: the fixed overhead every bulk pass
// pays once per pass (256 bucket parts) or per small task.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "runtime/memory_arena.h"
#include "runtime/thread_pool.h"

namespace {

void BM_RunEmptyParts(benchmark::State& state) {
  MemoryArena arena([](const std::string&) {});
  ThreadPool::Handle pool =
      ThreadPool::Create(arena, static_cast<uint64_t>(state.range(0)), nullptr, 0);
  const uint64_t parts = static_cast<uint64_t>(state.range(1));
  std::atomic<uint64_t> sink{0};
  for (auto _ : state) {
    pool->Run([&](uint64_t, uint64_t part) { sink.fetch_add(part, std::memory_order_relaxed); },
              parts);
  }
  benchmark::DoNotOptimize(sink.load());
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(parts));
}

}  // namespace

BENCHMARK(BM_RunEmptyParts)
    ->Args({1, 1})
    ->Args({1, 256})
    ->Args({2, 256})
    ->Args({4, 256})
    ->UseRealTime();
