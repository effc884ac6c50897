// Park encoding and decoding of tables shaped like those of a k = 32 plot: sorted values with
// exponential gaps (line points of 2^32 entries have a mean gap of 2^31). Items are values,
// bytes are park bytes written or read.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chia/delta_coding_table.h"
#include "chia/park_decoder.h"
#include "chia/park_encoder.h"
#include "chia/park_format.h"
#include "runtime/memory_arena.h"

namespace {

constexpr size_t kValues = 1 << 21;

std::vector<uint64_t> MakeValues(uint64_t meanGap) {
  std::mt19937_64 rng(42);
  std::exponential_distribution<double> gap(1.0 / static_cast<double>(meanGap));
  std::vector<uint64_t> values(kValues);
  uint64_t v = 0;
  for (uint64_t& x : values) {
    v += static_cast<uint64_t>(gap(rng));
    x = v;
  }
  return values;
}

// Encodes the values once an iteration, each time handed over in pieces of at most `piece`.
void EncodeInPieces(benchmark::State& state, uint64_t piece) {
  const uint64_t meanGap = uint64_t{1} << state.range(0);
  const std::vector<uint64_t> values = MakeValues(meanGap);
  DeltaCodingTable table{};
  BuildDeltaCodingTable(meanGap, table);
  MemoryArena arena([](const std::string&) {});
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(arena, arena);
  uint64_t parkBytes = 0;
  for (auto _ : state) {
    encoder->Begin(table, false, true, 0, [&](const uint8_t* park, uint64_t length) {
      benchmark::DoNotOptimize(park[length - 1]);
      parkBytes += length;
      return uint64_t{0};
    });
    for (uint64_t i = 0; i < values.size(); i += piece) {
      encoder->Append(values.data() + i, std::min<uint64_t>(piece, values.size() - i));
    }
    encoder->Finish();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kValues));
  state.SetBytesProcessed(static_cast<int64_t>(parkBytes));
  state.counters["values_per_park"] =
      static_cast<double>(kValues) / static_cast<double>(encoder->ParkCount());
}

void BM_ParkEncode(benchmark::State& state) { EncodeInPieces(state, kValues); }

// As the plotter feeds the encoder: batches of 1,024 values, as its batch queue hands them over.
void BM_ParkEncodeBatches(benchmark::State& state) { EncodeInPieces(state, 1024); }

void BM_ParkDecode(benchmark::State& state) {
  const uint64_t meanGap = uint64_t{1} << state.range(0);
  const std::vector<uint64_t> values = MakeValues(meanGap);
  DeltaCodingTable table{};
  BuildDeltaCodingTable(meanGap, table);
  MemoryArena arena([](const std::string&) {});
  ArenaPtr<ParkEncoder> encoder = CreateParkEncoder(arena, arena);
  std::vector<uint8_t> parks;
  encoder->Begin(table, false, true, 0, [&](const uint8_t* park, uint64_t length) {
    parks.insert(parks.end(), park, park + length);
    return uint64_t{0};
  });
  encoder->Append(values.data(), values.size());
  encoder->Finish();

  ParkDecoder decoder;
  decoder.Init(table, false, true);
  std::vector<uint64_t> out(ParkEncoder::kValueCapacity);
  uint64_t decoded = 0;
  for (auto _ : state) {
    for (size_t offset = 0; offset < parks.size(); offset += kParkBytes) {
      uint64_t position;
      auto [n, first] = decoder.Decode(parks.data() + offset, kParkBytes, out.data(), out.size(),
                                       position, false, false);
      benchmark::DoNotOptimize(first);
      decoded += n;
    }
  }
  if (decoded != state.iterations() * kValues) state.SkipWithError("decoded count differs");
  state.SetItemsProcessed(static_cast<int64_t>(decoded));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * parks.size()));
}

}  // namespace

BENCHMARK(BM_ParkEncode)->Arg(31)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParkEncodeBatches)->Arg(31)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParkDecode)->Arg(31)->Arg(20)->Unit(benchmark::kMillisecond);
