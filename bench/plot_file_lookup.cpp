// Position lookups in an open plot: each one reads the window of blocks the table's index names
// (from the page cache here, so the figure is the reader's own cost) and decodes one park.
// Table 0 holds line-point-like values with a mean gap of 2^31 over about 60 parks. Items are
// lookups.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "plotter/plot_file.h"
#include "tests/plotter/plot_test_support.h"

namespace {

struct LookupFixture {
  LookupFixture() : plot(TestPlot::Make({1 << 20, 1, 1, 1, 1, 1}, uint64_t{1} << 31)) {
    plot.Write(dir / "bench.fpt");
  }
  TestDirectory dir;
  TestPlot plot;
};

LookupFixture& Fixture() {
  static LookupFixture fixture;
  return fixture;
}

void BM_PlotLookup(benchmark::State& state) {
  LookupFixture& fixture = Fixture();
  TestOwner owner(1, static_cast<uint64_t>(state.range(0)));
  std::shared_ptr<PlotFile> file = OpenPlotFile(owner.owner, fixture.dir / "bench.fpt", 0);
  const uint64_t count = fixture.plot.tables[0].values.size();
  std::mt19937_64 random(1);
  uint64_t sum = 0;
  for (auto _ : state) sum += file->ReadAndDecodeRange(0, random() % count, 0);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) != 0 ? "private stream" : "shared stream");
}
BENCHMARK(BM_PlotLookup)->Arg(0)->Arg(1);

}  // namespace
