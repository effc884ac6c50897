// Throughput of the park values' queue with one producer and a consumer that does a little work
// per item, as the table passes use it: a whole ring reserved, filled and committed at once (the
// passes' values), or runs pushed one after another (the last table). The producer's waits for
// room are the cost under test: the consumer should spend its time on the items.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "runtime/batch_queue.h"
#include "runtime/memory_arena.h"

namespace {

constexpr uint64_t kRing = uint64_t{1} << 20;

// A dependent multiply per item, a few nanoseconds: the consumer is the slower side.
BatchQueue::Consumer Mixer(uint64_t& mixed) {
  return [&mixed](std::span<const uint64_t> items) {
    uint64_t h = mixed;
    for (const uint64_t v : items) h = (h ^ v) * 0x9E3779B97F4A7C15u;
    mixed = h;
  };
}

void BM_ReserveWholeRing(benchmark::State& state) {
  MemoryArena arena([](const std::string&) {});
  BatchQueue::Handle queue = BatchQueue::Create(arena, kRing, nullptr);
  uint64_t mixed = 0;
  queue->SetConsumer(Mixer(mixed));
  uint64_t next = 0;
  for (auto _ : state) {
    const auto room = queue->Reserve(kRing);
    for (const auto& part : room) {
      for (uint64_t& slot : part) slot = next++;
    }
    queue->Commit(kRing);
  }
  queue->WaitIdle();
  queue->ResetConsumer();
  benchmark::DoNotOptimize(mixed);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRing));
}

void BM_PushRuns(benchmark::State& state) {
  MemoryArena arena([](const std::string&) {});
  BatchQueue::Handle queue = BatchQueue::Create(arena, kRing, nullptr);
  uint64_t mixed = 0;
  queue->SetConsumer(Mixer(mixed));
  const uint64_t run = static_cast<uint64_t>(state.range(0));
  std::vector<uint64_t> items(run);
  for (uint64_t i = 0; i < run; ++i) items[i] = i;
  for (auto _ : state) {
    for (uint64_t sent = 0; sent < kRing; sent += run) queue->Push(items.data(), run);
  }
  queue->WaitIdle();
  queue->ResetConsumer();
  benchmark::DoNotOptimize(mixed);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRing));
}

}  // namespace

BENCHMARK(BM_ReserveWholeRing)->UseRealTime();
BENCHMARK(BM_PushRuns)->Arg(1024)->Arg(16384)->UseRealTime();
