// Directory scans of 1000 sparse plot files (own keys, distinct ids): the start-up scan with its
// report and the opening of every plot for mining, and a rescan, which finds them all known.
// The headers come from the page cache, so the figures are the scan's own cost. Items are files.
#include <benchmark/benchmark.h>

#include "tests/manager/scan_test_support.h"

namespace {

constexpr int kFiles = 1000;

struct ScanFixture {
  ScanFixture() {
    PlotHeader header = Plot(1);
    for (int i = 0; i < kFiles; ++i) {
      header.plotId[0] = static_cast<uint8_t>(i);
      header.plotId[1] = static_cast<uint8_t>(i >> 8);
      WritePlot(dir / ("plot-" + std::to_string(i) + ".fpt"), header);
    }
  }
  TestDirectory dir;
};

ScanFixture& Fixture() {
  static ScanFixture fixture;
  return fixture;
}

void BM_StartupScan(benchmark::State& state) {
  const std::vector<DirectorySpec> dirs = {Dir(Fixture().dir.Path())};
  for (auto _ : state) {
    ScanClient client(dirs);
    client.Scan();
    if (client.MinedPlots.size() != kFiles) state.SkipWithError("not every plot was mined");
  }
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_StartupScan)->Unit(benchmark::kMillisecond);

void BM_Rescan(benchmark::State& state) {
  ScanClient client({Dir(Fixture().dir.Path())});
  client.Scan();
  for (auto _ : state) client.Scan();
  state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_Rescan)->Unit(benchmark::kMillisecond);

}  // namespace
