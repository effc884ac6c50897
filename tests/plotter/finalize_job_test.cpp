#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "chia/park_decoder.h"
#include "plotter/finalize_job.h"
#include "plotter/plot_file.h"
#include "runtime/combination_tables.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_seed.h"
#include "tests/support/thrown_text.h"
#include "tests/support/whole_file.h"

namespace {

// A complete sparse plot whose tables 1-4 hold line points of random pairs of the table below,
// and the tables its final plot must hold, worked out from the pairs themselves.
struct SparseCase {
  TestPlot plot;
  std::vector<std::vector<uint64_t>> expected{6};
};

SparseCase MakeSparseCase(uint64_t seed) {
  const uint64_t counts[6] = {120000, 100000, 100000, 90000, 80000, 60000};
  std::mt19937_64 random(seed);
  std::vector<std::vector<uint64_t>> values(6);
  std::vector<std::vector<std::pair<uint64_t, std::pair<uint64_t, uint64_t>>>> pairs(6);
  const uint64_t m = (1 << 14) - 1;
  const uint64_t range =
      m + CombinationTables.C2[m] + CombinationTables.C3[m] + CombinationTables.C4[m];
  for (uint64_t i = 0; i < counts[0]; ++i) values[0].push_back(random() % range);
  for (int t = 1; t < 5; ++t) {
    for (uint64_t i = 0; i < counts[t]; ++i) {
      const uint64_t x = 1 + random() % (counts[t - 1] - 1), y = random() % x;
      pairs[t].push_back({x * (x - 1) / 2 + y, {x, y}});
    }
    std::sort(pairs[t].begin(), pairs[t].end());
    for (const auto& p : pairs[t]) values[t].push_back(p.first);
  }
  values[5] = SortedValues(counts[5], 1 << 20, seed);
  std::sort(values[0].begin(), values[0].end());
  std::vector<EncodedTable> tables(6);
  for (int t = 0; t < 6; ++t) {
    tables[t] = EncodeTable(values[t], std::max<uint64_t>(values[t].back() / counts[t], 1), t == 5);
  }
  SparseCase out{TestPlot::FromTables(std::move(tables))};
  out.plot.header.sparse = 1;
  out.expected[5] = values[5];
  std::vector<uint8_t> used(counts[4], 1);
  for (int t = 4; t >= 1; --t) {
    std::vector<uint8_t> below(counts[t - 1], 0);
    for (uint64_t i = 0; i < counts[t]; ++i) {
      if (used[i]) below[pairs[t][i].second.first] = below[pairs[t][i].second.second] = 1;
    }
    std::vector<uint64_t> rank(counts[t - 1] + 1, 0);
    for (uint64_t i = 0; i < counts[t - 1]; ++i) rank[i + 1] = rank[i] + below[i];
    for (uint64_t i = 0; i < counts[t]; ++i) {
      const uint64_t x = rank[pairs[t][i].second.first], y = rank[pairs[t][i].second.second];
      if (used[i]) out.expected[t].push_back(x * (x - 1) / 2 + y);
    }
    std::sort(out.expected[t].begin(), out.expected[t].end());
    used = below;
  }
  for (uint64_t i = 0; i < counts[0]; ++i) {
    if (used[i]) out.expected[0].push_back(values[0][i]);
  }
  return out;
}

const SparseCase& SharedCase() {
  static const SparseCase sparse = MakeSparseCase(7);
  return sparse;
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

// One job for the whole binary: its bitmaps alone take 1 GiB.
FinalizeJob& SharedJob() {
  static FinalizeJobHandle job =
      NewFinalizeJob({FinalizeJob::RequiredMemory(2), 2, PlotScale::WithShift(12)}, HeapArena(),
                     [](const std::string&) {}, nullptr, nullptr);
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
  static const std::vector<uint8_t> reference = [] {
    TestDirectory dir;
    SharedCase().plot.Write(dir / "sparse.spt");
    FinalizeJob& job = SharedJob();
    job.SetStopHook(nullptr);
    EXPECT_EQ(RunOnce(job, dir, 0), "");
    EXPECT_EQ(job.ReadStatus().finished, 1);
    return ReadWholeFile(dir / "final.fpt_part");
  }();
  return reference;
}

}  // namespace

TEST(FinalizeJob, FinalPlotHoldsTheSurvivingEntriesAndOpens) {
  const std::vector<uint8_t> file = ReferenceFinal();
  PlotHeader header;
  std::memcpy(&header, file.data(), sizeof(header));
  EXPECT_EQ(header.sparse, 0);
  EXPECT_EQ(header.complete, 1);
  EXPECT_EQ(header.closed, 1);
  EXPECT_EQ(header.link, 0u);
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
  struct Point {
    uint8_t table, pass;
    uint32_t block;
  };
  const std::vector<std::vector<Point>> rows = {
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
    std::vector<uint8_t> savedRecord;
    job.SetStopHook([&](const FinalizeResumeRecord& r) {
      if (next < row.size() && r.table == row[next].table && r.pass == row[next].pass &&
          r.blockCounter == (row[next].block == 0 ? r.blockCounter : row[next].block)) {
        EXPECT_TRUE(job.RequestSave());
        ++next;
      }
    });
    for (size_t run = 0; run <= row.size(); ++run) {
      const bool atContinuation = run > 0 && next < row.size() && row[next].block == 0;
      const std::vector<uint8_t> before =
          run > 0 ? ReadWholeFile(dir / "final.fpt_part") : std::vector<uint8_t>();
      EXPECT_EQ(RunOnce(job, dir, run > 0 ? 1 : 0), "");
      const std::vector<uint8_t> after = ReadWholeFile(dir / "final.fpt_part");
      if (atContinuation) {
        // Only the header's marker value and the marker changed: the save area still holds.
        EXPECT_EQ(Normalized(after), Normalized(before));
        EXPECT_NE(std::memcmp(after.data() + 24, before.data() + 24, 8), 0);
      }
      if (job.ReadStatus().finished) break;
    }
    EXPECT_EQ(next, row.size());
    EXPECT_EQ(Normalized(ReadWholeFile(dir / "final.fpt_part")), reference);
  }
  job.SetStopHook(nullptr);
}
