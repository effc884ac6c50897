// An unforced Reserve of 1 GiB on the real host (it maps and touches the reserve kept back for
// the system as well) with 1 thread and with every core: the kernel clears each fresh page on its
// first write, which is most of what a plot's start waits for. Bytes are the block kept.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/pos_bench_support.h"
#include "runtime/memory_arena.h"
#include "runtime/system_memory.h"

namespace {

// The host, but with a chosen number of processors to touch with.
class HostWithProcessors final : public SystemMemory {
 public:
  explicit HostWithProcessors(uint64_t processors) : processors_(processors) {}
  uint64_t PageSize() override { return host_.PageSize(); }
  bool ReadTextFile(const char* path, std::string& text) override {
    return host_.ReadTextFile(path, text);
  }
  bool QuerySysInfo(SysInfo& info) override { return host_.QuerySysInfo(info); }
  void* Map(uint64_t length) override { return host_.Map(length); }
  void Unmap(void* address, uint64_t length) override { host_.Unmap(address, length); }
  int Lock(void* address, uint64_t length) override { return host_.Lock(address, length); }
  bool GetLockLimit(uint64_t& soft, uint64_t& hard) override {
    return host_.GetLockLimit(soft, hard);
  }
  bool SetLockLimit(uint64_t soft, uint64_t hard) override {
    return host_.SetLockLimit(soft, hard);
  }
  uint64_t ProcessorCount() override { return processors_; }

 private:
  SystemMemory& host_ = HostSystemMemory();
  uint64_t processors_;
};

void BM_ReserveTouch(benchmark::State& state) {
  HostWithProcessors host(static_cast<uint64_t>(state.range(0)));
  MemoryArena arena([](const std::string&) {}, host);
  uint64_t kept = 0;
  for (auto _ : state) {
    kept += arena.Reserve(uint64_t{1} << 30, nullptr, false, false);
    arena.Release();
  }
  state.SetBytesProcessed(static_cast<int64_t>(kept));
}

void OneThreadAndAllCores(benchmark::internal::Benchmark* b) {
  b->Arg(1);
  if (BenchCores() > 1) b->Arg(static_cast<int64_t>(BenchCores()));
}

}  // namespace

BENCHMARK(BM_ReserveTouch)->Apply(OneThreadAndAllCores)->Unit(benchmark::kMillisecond)->UseRealTime();
