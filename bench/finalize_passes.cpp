// The passes of a finalization over a synthetic sparse plot (tables of 0.6-1.2 M entries, the
// line points of random pairs of the table below, 2 threads, files in the temporary directory).
// Every block moves the stop check, so the time between two checks is charged to the pass that
// read the block: copy, mark, compact and encode rates in source blocks per second. The plot
// scale of 8 keeps one check per block and thins the pipeline to 1 MiB; the run at the
// production scale (1 GiB pipeline, 256 MiB region memory) gives the whole-run rate only. The
// projection multiplies the rates by the block counts of a k = 32 sparse plot of about 99 GB (about
// 251,770 blocks per table).
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>

#include "plotter/finalize_job.h"
#include "tests/plotter/sparse_plot_support.h"

namespace {

struct PassFixture {
  PassFixture() : sparse(MakeSparseCase(3, 10)) { sparse.plot.Write(dir / "sparse.spt"); }
  TestDirectory dir;
  SparseCase sparse;
};

void BM_FinalizePasses(benchmark::State& state) {
  static PassFixture fixture;
  const PlotScale scale = PlotScale::WithShift(state.range(0));
  FinalizeJobHandle job = NewFinalizeJob({FinalizeJob::RequiredMemory(2, scale), 2, scale},
                                         HeapArena(), nullptr, nullptr, nullptr);
  using Clock = std::chrono::steady_clock;
  // Pass kind: 0 copy, 1 mark, 2 compact, 3 encode.
  double seconds[4] = {};
  uint64_t blocks[4] = {};
  Clock::time_point last;
  job->SetStopHook([&](const FinalizeResumeRecord& r) {
    const Clock::time_point now = Clock::now();
    const int kind = r.table == 5 ? 0 : r.table == 0 ? 3 : 1 + r.pass;
    seconds[kind] += std::chrono::duration<double>(now - last).count();
    ++blocks[kind];
    last = now;
  });
  for (auto _ : state) {
    last = Clock::now();
    job->Start(fixture.dir / "sparse.spt", fixture.dir / "final.fpt_part", 0);
    job->WaitForRun();
    if (!job->ReadStatus().finished) state.SkipWithError("finalization failed");
  }
  const PlotHeader& h = fixture.sparse.plot.header;
  const double sourceBlocks = h.tables[0].blockCount + h.tables[5].blockCount +
                              2.0 * (h.tables[1].blockCount + h.tables[2].blockCount +
                                     h.tables[3].blockCount + h.tables[4].blockCount);
  state.counters["all_blocks_per_s"] =
      benchmark::Counter(sourceBlocks * state.iterations(), benchmark::Counter::kIsRate);
  // At the production scale the stop checks are too far apart for a per-pass split.
  if (state.range(0) == 0) return;
  const char* names[4] = {"copy_blocks_per_s", "mark_blocks_per_s", "compact_blocks_per_s",
                          "encode_blocks_per_s"};
  const double k32Blocks = 251770;
  const double k32PassBlocks[4] = {k32Blocks, 4 * k32Blocks, 4 * k32Blocks, k32Blocks};
  double projected = 0;
  for (int kind = 0; kind < 4; ++kind) {
    const double rate = blocks[kind] / seconds[kind];
    state.counters[names[kind]] = rate;
    projected += k32PassBlocks[kind] / rate;
  }
  state.counters["k32_projected_minutes"] = projected / 60;
}
BENCHMARK(BM_FinalizePasses)
    ->Arg(8)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
