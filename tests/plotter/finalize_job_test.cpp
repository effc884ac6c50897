#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "plotter/finalize_job.h"
#include "plotter/plot_file.h"
#include "tests/plotter/sparse_plot_support.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_arena.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_seed.h"
#include "tests/support/thrown_text.h"
#include "tests/support/whole_file.h"

namespace {

const SparseCase& SharedCase() {
  static const SparseCase kSparse = MakeSparseCase(7);
  return kSparse;
}

std::vector<uint64_t> DecodeTable(const std::vector<uint8_t>& file, int t) {
  PlotHeader header;
  std::memcpy(&header, file.data(), sizeof(header));
  ParkDecoder decoder;
  decoder.Init(header.tables[t].coding, t == 5, t != 5);
  std::vector<uint64_t> out, buffer(65536);
  for (uint64_t b = 0; b < header.tables[t].blockCount; ++b) {
    uint64_t position = 0;
    const auto [n, p] = decoder.Decode(file.data() + header.tables[t].offset + b * 65536, 65536,
                                       buffer.data(), buffer.size(), position, false, false);
    out.insert(out.end(), p, p + n);
  }
  return out;
}

// One job for the whole binary: its bitmaps alone take 1 GiB. Its arena counts what it hands out.
FaultArena& SharedArena() {
  static FaultArena arena;
  return arena;
}
FinalizeJob& SharedJob() {
  const PlotScale scale = PlotScale::WithShift(12);
  static FinalizeJobHandle job = NewFinalizeJob({FinalizeJob::RequiredMemory(2, scale), 2, scale},
                                                SharedArena(), [](const std::string&) {},
                                                nullptr, nullptr);
  return *job;
}

// Runs the job once; the failure text of the run, or "".
std::string RunOnce(FinalizeJob& job, const TestDirectory& dir, uint8_t continueFlag) {
  job.Start(dir / "sparse.spt", dir / "final.fpt_part", continueFlag);
  job.WaitForRun();
  const FinalizeJob::Status status = job.ReadStatus();
  EXPECT_EQ(status.state, kFinalizeIdle);
  return status.failure ? ThrownText([&] { std::rethrow_exception(status.failure); }) : "";
}

// The final file with its random marker value cleared, so that two runs compare equal.
std::vector<uint8_t> Normalized(std::vector<uint8_t> file) {
  PlotHeader header;
  std::memcpy(&header, file.data(), sizeof(header));
  std::memset(file.data() + 24, 0, 8);
  std::memset(file.data() + header.start.markerOffset, 0, 8);
  return file;
}

std::vector<uint8_t> ReferenceFinal() {
  static const std::vector<uint8_t> kReference = [] {
    TestDirectory dir;
    SharedCase().plot.Write(dir / "sparse.spt");
    FinalizeJob& job = SharedJob();
    job.SetStopHook(nullptr);
    EXPECT_EQ(RunOnce(job, dir, 0), "");
    EXPECT_EQ(job.ReadStatus().finished, 1);
    return ReadWholeFile(dir / "final.fpt_part");
  }();
  return kReference;
}

}  // namespace

TEST(FinalizeJob, FinalPlotHoldsTheSurvivingEntriesAndOpens) {
  const std::vector<uint8_t> file = ReferenceFinal();
  PlotHeader header;
  std::memcpy(&header, file.data(), sizeof(header));
  EXPECT_EQ(std::tuple(header.sparse, header.complete, header.closed, header.link),
            std::tuple(0, 1, 1, 0));
  EXPECT_EQ(file.size() % 4096, 0u);
  EXPECT_LT(file.size(), SharedCase().plot.FileBytes().size());
  for (int t = 0; t < 6; ++t) {
    EXPECT_EQ(header.tables[t].entryCount, SharedCase().expected[t].size()) << t;
    EXPECT_EQ(DecodeTable(file, t), SharedCase().expected[t]) << "table " << t;
  }
  TestDirectory dir;
  WriteWholeFile(dir / "final.fpt", file);
  TestOwner owner;
  EXPECT_NE(OpenPlotFile(owner.owner, dir / "final.fpt", 0), nullptr);
}

// Saves at chosen points ({table, pass, block}, {table, pass, 0} meaning right after the
// continuation) and continues until done: the result equals the uninterrupted run.
TEST(FinalizeJob, StopsAndContinuationsGiveTheUninterruptedPlot) {
  const std::vector<std::vector<std::array<uint32_t, 3>>> rows = {
      {{5, 0, 1}},                        // mid-copy
      {{4, 0, 2}, {3, 0, 1}},             // mid-mark of the kept table, then of a filtered one
      {{4, 1, 1}, {2, 1, 2}, {1, 1, 3}},  // mid-compact
      {{0, 0, 1}, {0, 0, 4}},             // mid-encode
      {{3, 1, 1}, {3, 1, 0}, {3, 1, 0}},  // twice right after a continuation
  };
  const std::vector<uint8_t> reference = Normalized(ReferenceFinal());
  FinalizeJob& job = SharedJob();
  for (const auto& row : rows) {
    TestDirectory dir;
    SharedCase().plot.Write(dir / "sparse.spt");
    size_t next = 0;
    job.SetStopHook([&](const FinalizeResumeRecord& r) {
      if (next < row.size() && r.table == row[next][0] && r.pass == row[next][1] &&
          r.blockCounter == (row[next][2] == 0 ? r.blockCounter : row[next][2])) {
        EXPECT_TRUE(job.RequestSave());
        // Another start while the run is active is refused and leaves the run alone.
        EXPECT_EQ(ThrownText([&] { job.Start(dir / "sparse.spt", dir / "other", 0); }), "8E5DC20B");
        ++next;
      }
    });
    for (size_t run = 0; run <= row.size(); ++run) {
      const bool atContinuation = run > 0 && next < row.size() && row[next][2] == 0;
      const std::vector<uint8_t> before =
          run > 0 ? ReadWholeFile(dir / "final.fpt_part") : std::vector<uint8_t>();
      EXPECT_EQ(RunOnce(job, dir, run > 0 ? 1 : 0), "");
      const std::vector<uint8_t> after = ReadWholeFile(dir / "final.fpt_part");
      if (atContinuation) {
        // Only the marker value changed: the save area and record still hold.
        EXPECT_EQ(Normalized(after), Normalized(before));
      }
      if (job.ReadStatus().finished) break;
    }
    EXPECT_EQ(next, row.size());
    EXPECT_EQ(Normalized(ReadWholeFile(dir / "final.fpt_part")), reference);
  }
  job.SetStopHook(nullptr);
}

namespace {

template <typename T>
void Put(std::vector<uint8_t>& bytes, uint64_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

uint64_t TableField(int t, uint64_t field) { return 600 + t * sizeof(PlotTableRecord) + field; }

// A final plot saved during the mark pass of table 3.
std::vector<uint8_t> SavedFinal() {
  TestDirectory dir;
  SharedCase().plot.Write(dir / "sparse.spt");
  FinalizeJob& job = SharedJob();
  job.SetStopHook([&](const FinalizeResumeRecord& r) {
    if (r.table == 3 && r.blockCounter == 1) job.RequestSave();
  });
  EXPECT_EQ(RunOnce(job, dir, 0), "");
  job.SetStopHook(nullptr);
  return ReadWholeFile(dir / "final.fpt_part");
}

}  // namespace

TEST(FinalizeJob, StartRefusesEveryFaultyInput) {
  using Bytes = std::vector<uint8_t>;
  struct Row {
    bool output;  // the fault is in the unfinished final plot, which is continued
    std::function<void(Bytes&)> fault;
    std::string text;
  };
  const Bytes sparse = SharedCase().plot.FileBytes();
  const Bytes saved = SavedFinal();
  uint64_t link;
  std::memcpy(&link, saved.data() + 40, sizeof(link));
  const std::string in = "invalid input plot file: ", out = "invalid output plot file: ";
  const std::vector<Row> rows = {
      {false, [](Bytes& b) { b.resize(10055); }, in + "351FA9D2"},
      {false, [](Bytes& b) { b[0] ^= 1; }, in + "5FF36348"},
      {false, [](Bytes& b) { b[8] = 2; }, "unsupported input plot file: BB5813A7"},
      {false, [](Bytes& b) { b[24] ^= 1; }, in + "BFBCBB46"},
      {false, [](Bytes& b) { b[35] = 5; }, in + "66EAA11A"},
      {false, [](Bytes& b) { b[32] = 0; }, in + "CEF3BAA4"},
      {false, [](Bytes& b) { b[33] = 0; }, in + "B4501762"},
      {false, [](Bytes& b) { b[34] = 0; }, in + "C3CBB1AF"},
      {false, [](Bytes& b) { b[TableField(2, 24)] = 60; }, in + "FE896E3E"},
      {false, [](Bytes& b) { Put<int16_t>(b, TableField(3, 552), 5); }, in + "8A8A3F45"},
      {false, [](Bytes& b) { Put<uint64_t>(b, TableField(1, 8), 0); }, in + "8588A50E"},
      {false, [](Bytes& b) { Put<uint64_t>(b, TableField(0, 0), 12288 + 512); }, in + "70C07CD4"},
      {false, [](Bytes& b) { Put<uint32_t>(b, TableField(0, 16), 4000); }, in + "01CD4328"},
      {true, [](Bytes& b) { b.resize(10055); }, out + "1A1BD523"},
      {true, [](Bytes& b) { b[1] ^= 1; }, out + "5539F570"},
      {true, [](Bytes& b) { b[8] = 0; }, "unsupported output plot file: 8DD37430"},
      {true, [](Bytes& b) { b[25] ^= 1; }, out + "546B4DAD"},
      {true, [](Bytes& b) { b[33] = 1; }, out + "AB4505DE"},
      {true, [](Bytes& b) { b[34] = 0; }, out + "631C9C4B"},
      {true, [](Bytes& b) { b[32] = 1; }, out + "C506B14C"},
      {true, [](Bytes& b) { b[35] = 3; }, out + "2A440D5F"},
      {true, [](Bytes& b) { b[70] ^= 1; }, out + "ADE2C348"},
      {true, [](Bytes& b) { Put<uint64_t>(b, 40, b.size() - 39); }, out + "4DC593CE"},
      {true, [link](Bytes& b) { b[link] = 7; }, out + "D0E6E96E"},
      {true, [link](Bytes& b) { b[link] = 5, b[link + 1] = 1; }, out + "86C9766F"},
      {true, [link](Bytes& b) { b[link + 1] = 2; }, out + "A3CC5C8D"},
      {true, [&](Bytes& b) { Put(b, link + 4, SharedCase().plot.tables[3].record.blockCount + 1); },
       out + "8111B25F"},
      {true, [link](Bytes& b) { b[link + 16] += 8; }, out + "AB769E26"},
  };
  FinalizeJob& job = SharedJob();
  for (const Row& row : rows) {
    TestDirectory dir;
    Bytes source = sparse, destination = saved;
    row.fault(row.output ? destination : source);
    WriteWholeFile(dir / "sparse.spt", source);
    WriteWholeFile(dir / "final.fpt_part", destination);
    EXPECT_EQ(ThrownText([&] {
                job.Start(dir / "sparse.spt", dir / "final.fpt_part", row.output ? 1 : 0);
              }),
              row.text);
    job.WaitForRun();
    EXPECT_EQ(job.ReadStatus().state, kFinalizeIdle) << row.text;
    if (row.output) {
      EXPECT_EQ(ReadWholeFile(dir / "final.fpt_part"), destination) << row.text;
    }
  }
}

// Sources that pass the start checks but lie in their tables, or shrink while the run reads
// them: the run fails and leaves a file that cannot be continued.
TEST(FinalizeJob, RunRefusesTablesThatLie) {
  const PlotHeader& header = SharedCase().plot.header;
  const std::string in = "invalid input plot file: ";
  struct Row {
    uint64_t field, value;  // field 0: the source shrinks while the run reads table 2
    std::string text;
  } rows[] = {{TableField(4, 8), 100, in + "BCE0F582"},
              {TableField(2, 8), 5000, in + "B2D63AA8"},
              {TableField(1, 24), header.tables[1].coding.rawBits + 1u, in},
              {0, 0, in + "646983E7"}};
  FinalizeJob& job = SharedJob();
  for (const Row& row : rows) {
    TestDirectory dir;
    std::vector<uint8_t> source = SharedCase().plot.FileBytes();
    if (row.field != 0) Put(source, row.field, row.value);
    WriteWholeFile(dir / "sparse.spt", source);
    job.SetStopHook([&](const FinalizeResumeRecord& r) {
      if (row.field == 0 && r.table == 2 && r.blockCounter == 1) {
        std::filesystem::resize_file(dir / "sparse.spt", header.tables[1].offset + 65536);
      }
    });
    EXPECT_EQ(RunOnce(job, dir, 0).substr(0, row.text.size()), row.text);
    EXPECT_EQ(ThrownText([&] { job.Start(dir / "sparse.spt", dir / "final.fpt_part", 1); }),
              row.field == 0 ? in + "BFBCBB46" : "invalid output plot file: 546B4DAD");
  }
  job.SetStopHook(nullptr);
}

// A child finalizes with a save every few blocks and is killed at a random moment: what it
// leaves is refused, or continues into the plot of an uninterrupted run, or already is that plot.
TEST(FinalizeJob, KilledRunLeavesAFileThatContinuesOrIsRefused) {
  const std::vector<uint8_t> reference = Normalized(ReferenceFinal());
  std::mt19937_64 random(TestSeed());
  for (int round = 0; round < 3; ++round) {
    TestDirectory dir;
    SharedCase().plot.Write(dir / "sparse.spt");
    ChildProcess child([&] {
      FinalizeJobHandle job = NewFinalizeJob(
          {FinalizeJob::RequiredMemory(2, PlotScale::WithShift(12)), 2, PlotScale::WithShift(12)}, HeapArena(),
          [](const std::string&) {}, nullptr, nullptr);
      job->SetStopHook([&](const FinalizeResumeRecord& r) {
        if (r.blockCounter % 3 == 0) job->RequestSave();
      });
      Say("ready");
      for (uint8_t run = 0; !job->ReadStatus().finished; run = 1) {
        job->Start(dir / "sparse.spt", dir / "final.fpt_part", run);
        job->WaitForRun();
      }
    });
    ASSERT_EQ(child.ReadLine(), "ready");
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
    child.Signal(SIGKILL);
    child.Wait();
    if (!std::filesystem::exists(dir / "final.fpt_part")) continue;
    std::vector<uint8_t> left = ReadWholeFile(dir / "final.fpt_part");
    PlotHeader header{};
    if (!left.empty()) std::memcpy(&header, left.data(), std::min(left.size(), sizeof(header)));
    if (header.complete == 0) {
      const std::string refusal =
          ThrownText([&] { SharedJob().Start(dir / "sparse.spt", dir / "final.fpt_part", 1); });
      if (refusal != "no exception") {
        EXPECT_EQ(refusal.rfind("invalid output plot file: ", 0), 0u) << refusal;
        continue;
      }
      SharedJob().WaitForRun();
      EXPECT_EQ(SharedJob().ReadStatus().finished, 1);
      left = ReadWholeFile(dir / "final.fpt_part");
    }
    // Killed before the truncation, a finished plot still carries the old save area at its end.
    left.resize(reference.size());
    EXPECT_EQ(Normalized(left), reference) << "round " << round;
  }
}

TEST(FinalizeJob, ConstructionChecksBudgetAndThreads) {
  auto build = [](uint64_t budget, uint64_t threads) {
    return ThrownText([&] { NewFinalizeJob({budget, threads, {}}, HeapArena(), nullptr, 0, 0); });
  };
  EXPECT_EQ(build(FinalizeJob::RequiredMemory(3, {}) - 1, 3), "C3DB2AB4");
  EXPECT_EQ(build(FinalizeJob::RequiredMemory(0, {}), 0), "4C80C33A");
  // Production figures; the pipeline is capped at 1 GiB.
  const uint64_t budget = FinalizeJob::RequiredMemory(2, {}) + (uint64_t{1} << 30);
  const FinalizeSizes full = FinalizeJob::Sizes({budget, 2, {}});
  EXPECT_EQ(std::tuple(full.pipelineMemory, full.stopInterval, full.queueItems,
                       full.poolBufferBytes, full.regionDataBytes, full.regionGapBytes),
            std::tuple(1u << 30, 256u, 2097152u, 64u << 20, 256u << 20, 64u << 20));
}

// The least budget holds the whole full-size job, the region reader's and the decode ring's
// memory included, at every thread count.
TEST(FinalizeJob, EverythingBuiltFitsTheLeastBudget) {
  for (uint64_t threads : {1, 2, 8}) {
    const uint64_t budget = FinalizeJob::RequiredMemory(threads, {});
    FaultArena arena;
    FinalizeJobHandle job = NewFinalizeJob({budget, threads, {}}, arena, nullptr, nullptr, nullptr);
    EXPECT_LE(arena.bytes, budget) << threads;
  }
}

// However many workers decode the source blocks, the plot is the one of the shared two-thread
// job, also when saved with blocks in flight and continued.
TEST(FinalizeJob, EveryThreadCountMakesTheSamePlot) {
  const std::vector<uint8_t> reference = Normalized(ReferenceFinal());
  const PlotScale scale = PlotScale::WithShift(12);
  for (uint64_t threads : {1, 5}) {
    FinalizeJobHandle job =
        NewFinalizeJob({FinalizeJob::RequiredMemory(threads, scale), threads, scale}, HeapArena(),
                       nullptr, nullptr, nullptr);
    job->SetStopHook([&](const FinalizeResumeRecord& r) {
      if (r.table == 2 && r.pass == 1 && r.blockCounter == 2) job->RequestSave();
    });
    TestDirectory dir;
    SharedCase().plot.Write(dir / "sparse.spt");
    EXPECT_EQ(RunOnce(*job, dir, 0), "");
    EXPECT_EQ(job->ReadStatus().finished, 0) << threads;
    job->SetStopHook(nullptr);
    EXPECT_EQ(RunOnce(*job, dir, 1), "");
    EXPECT_EQ(job->ReadStatus().finished, 1) << threads;
    EXPECT_EQ(Normalized(ReadWholeFile(dir / "final.fpt_part")), reference) << threads;
  }
}

// A failed start and a whole run reuse what the job holds: the arena hands out nothing more.
TEST(FinalizeJob, FailedStartsAndRunsTakeNoMoreMemory) {
  FinalizeJob& job = SharedJob();
  const uint64_t before = SharedArena().allocations;
  TestDirectory dir;
  EXPECT_NE(ThrownText([&] { job.Start(dir / "sparse.spt", dir / "final.fpt_part", 0); }),
            "no exception");
  SharedCase().plot.Write(dir / "sparse.spt");
  EXPECT_EQ(RunOnce(job, dir, 0), "");
  EXPECT_EQ(SharedArena().allocations, before);
}

namespace {

// The pair by a search over 128-bit products: the largest x with x(x - 1)/2 <= the line point.
FinalizePipeline::Pair PairBySearch(uint64_t linePoint) {
  using Wide = unsigned __int128;
  uint64_t lo = 1, hi = uint64_t{1} << 33;
  while (hi - lo > 1) {
    const uint64_t mid = lo + (hi - lo) / 2;
    (Wide{mid} * (mid - 1) / 2 <= linePoint ? lo : hi) = mid;
  }
  return {static_cast<uint32_t>(lo),
          static_cast<uint32_t>(linePoint - static_cast<uint64_t>(Wide{lo} * (lo - 1) / 2))};
}

}  // namespace

// Line points back to pairs agree with the search everywhere the rounding of the square root is
// closest to wrong: the first and last points of triangles, all small points, the largest point
// a table may hold, and random ones.
TEST(LinePointToPair, AgreesWithASearchAtEveryTriangleEdge) {
  std::vector<uint64_t> points;
  for (uint64_t p = 0; p < 100000; ++p) points.push_back(p);
  std::vector<uint64_t> xs;
  for (uint64_t k = 2; k <= 32; ++k) {
    for (uint64_t x : {(uint64_t{1} << k) - 1, uint64_t{1} << k, (uint64_t{1} << k) + 1}) {
      if (x < (uint64_t{1} << 32)) xs.push_back(x);
    }
  }
  std::mt19937_64 random(TestSeed());
  for (int i = 0; i < 100000; ++i) xs.push_back(2 + (random() >> 32) % ((uint64_t{1} << 32) - 2));
  for (uint64_t x : xs) {
    for (uint64_t y : {uint64_t{0}, uint64_t{1}, x / 2, x - 2, x - 1})
      points.push_back(PairLinePoint(x, y));
  }
  for (int i = 0; i < 100000; ++i) points.push_back(random() % 0x7FFFFFFE00000003);
  points.push_back(0x7FFFFFFE00000002);
  for (uint64_t p : points) {
    const FinalizePipeline::Pair got = LinePointToPair(p);
    const FinalizePipeline::Pair want = PairBySearch(p);
    ASSERT_EQ(got.x, want.x) << p;
    ASSERT_EQ(got.y, want.y) << p;
    ASSERT_LT(got.y, got.x) << p;
  }
}

// Four at a time the points turn into what one by one gives, at triangle edges, past the widest
// table (where the one-by-one way takes over for the whole group) and at every place in a group,
// into memory of their own and over the points themselves as the decode workers do.
TEST(LinePointToPair, FourAtATimeAgreesWithOneByOne) {
  std::vector<uint64_t> points;
  for (uint64_t k = 2; k <= 32; ++k) {
    for (uint64_t x : {(uint64_t{1} << k) - 1, uint64_t{1} << k}) {
      if (x >= (uint64_t{1} << 32)) continue;
      for (uint64_t y : {uint64_t{0}, x / 3, x - 1}) points.push_back(PairLinePoint(x, y));
    }
  }
  std::mt19937_64 random(TestSeed());
  for (int i = 0; i < 4000; ++i) points.push_back(random() % 0x7FFFFFFE00000003);
  points.push_back(0x7FFFFFFE00000002);
  for (uint64_t p : {uint64_t{1} << 63, ~uint64_t{0}, uint64_t{0x7FFFFFFFFFFFFFFF}}) {
    points.insert(points.begin() + static_cast<std::ptrdiff_t>(random() % points.size()), p);
  }
  // {first point, points, over the points}
  const std::tuple<uint64_t, uint64_t, bool> rows[] = {
      {0, points.size(), false},
      {1, points.size() - 1, true},
      {3, 6, false},
      {2, points.size() - 2, true},
      {5, 3, true},
      {0, 0, false},
  };
  for (const auto& [first, count, over] : rows) {
    std::vector<uint64_t> memory(points.begin() + static_cast<std::ptrdiff_t>(first),
                                 points.begin() + static_cast<std::ptrdiff_t>(first + count));
    std::vector<FinalizePipeline::Pair> own(count);
    FinalizePipeline::Pair* out =
        over ? reinterpret_cast<FinalizePipeline::Pair*>(memory.data()) : own.data();
    LinePointsToPairs(memory.data(), count, out);
    for (uint64_t i = 0; i < count; ++i) {
      const FinalizePipeline::Pair want = LinePointToPair(points[first + i]);
      ASSERT_EQ(out[i].x, want.x) << points[first + i] << " " << first << " " << over;
      ASSERT_EQ(out[i].y, want.y) << points[first + i] << " " << first << " " << over;
    }
  }
}
