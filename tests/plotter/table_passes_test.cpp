#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>
#include <vector>

#include "chia/f1.h"
#include "chia/park_decoder.h"
#include "plotter/plot_engine.h"
#include "tests/chia/pos_verifier.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/thrown_text.h"

namespace {

using pos_oracle::Bits;

const PlotScale kScale = PlotScale::WithShift(12);
const uint8_t kPlotId[32] = {7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// An engine at d = 12 over one temp file and a plot file, its stream fed for step 0, driven
// step by step on the test's thread.
struct EngineRig {
  TestDirectory dir;
  PlotEngineHandle handle;
  PlotEngine& e;
  TempFileHeader& h;

  explicit EngineRig(uint8_t level = 0)
      : handle(Make()), e(*handle), h(e.tempHeaders[0]) {
    e.usedTempFiles = 1;
    e.tempFiles[0]->Open(dir / "temp0", true);
    e.tempWorkers[0]->SetFile(e.tempFiles[0]);
    e.plotFile->Open(dir / "plot", true);
    e.plotWorker->SetFile(e.plotFile.get());
    e.plotData.emplace(*e.plotWorker, kFinalPlotDataOffset, ~uint64_t{0});
    e.plotWriter = &*e.plotData;
    h.level = level;
    MakeF1Key(kPlotId, e.f1Key);
    e.state = kPlotPlotting;
    e.ResetStepState();
    DirectFile* files[1] = {e.tempFiles[0]};
    e.stream->Begin(files, 1, TempFileBytes(1, kScale), {});
    e.FeedStream();
  }
  ~EngineRig() { e.stream->StopThreads(); }

  static PlotEngineHandle Make() {
    PlotEngineSettings s{2, 0, 1, kScale};
    s.memoryBudget = RequiredJobMemory(s);
    return CreatePlotEngine(HeapArena(), s, HeapArena(), [](const std::string&) {}, nullptr,
                            nullptr);
  }

  void MoveTo(uint8_t step, uint8_t sub, int8_t bucket) {
    h.step = step, h.subStep = sub, h.bucket = bucket;
    e.ResetStepState();
    e.HandOverStream();
  }

  // Puts entries into `inBucket` of what (step, sub) reads, then moves there.
  void Load(uint8_t step, uint8_t sub, int8_t bucket, uint64_t inBucket,
            const std::vector<uint8_t>& bytes, uint64_t width) {
    if (step == 1 || sub == 1) {
      MoveTo(step == 1 ? 0 : step, 0, 0);
    } else {
      MoveTo(step - 1, step == 2 ? 0 : 1, 0);
    }
    e.stream->Append(inBucket, bytes.data(), bytes.size() / width);
    MoveTo(step, sub, bucket);
  }

  // Steps 0..7 in order; then the six tables as the plot file holds them.
  std::vector<std::vector<uint64_t>> RunAll() {
    for (;;) {
      e.RunStep();
      if (h.step == 8) break;
      e.ResetStepState();
      e.HandOverStream();
    }
    e.plotData->Finish();
    std::ifstream in(dir / "plot", std::ios::binary);
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::vector<uint64_t>> tables(6);
    std::vector<uint64_t> out(65536);
    for (uint32_t t = 0; t < 6; ++t) {
      const PlotTableRecord& r = e.plotHeader.tables[t];
      ParkDecoder decoder;
      decoder.Init(r.coding, t == 5, t != 5);
      for (uint64_t p = 0; p < r.blockCount; ++p) {
        uint64_t position = 0;
        auto [n, first] = decoder.Decode(file.data() + r.offset + p * 65536, 65536, out.data(),
                                         out.size(), position, false, false);
        tables[t].insert(tables[t].end(), first, first + n);
      }
      EXPECT_EQ(tables[t].size(), r.entryCount) << t;
    }
    return tables;
  }
};

// ---- A naive plotter: F1 of the kept blocks, y sorted, pairs by the matching rule, fx over
// bit strings, then the values of each level. ----

struct RefEntry {
  uint64_t y;
  Bits meta;
  uint32_t left, right;  // parents in the previous table
};
using RefTable = std::vector<RefEntry>;

uint64_t Choose(uint64_t n, uint64_t k) {
  unsigned __int128 r = 1;
  for (uint64_t i = 0; i < k; ++i) r = r * (n - i) / (i + 1);
  return static_cast<uint64_t>(r);
}

// Pairs of adjacent groups whose y satisfy the rule; the candidates come from the rule's 64
// targets of each left y.
RefTable MatchNext(RefTable& table, int t) {
  std::sort(table.begin(), table.end(), [](auto& a, auto& b) { return a.y < b.y; });
  std::map<uint64_t, std::multimap<uint64_t, uint32_t>> groups;  // group: r -> index
  for (uint32_t i = 0; i < table.size(); ++i) {
    groups[table[i].y / 15113].emplace(table[i].y % 15113, i);
  }
  RefTable next;
  for (uint32_t i = 0; i < table.size(); ++i) {
    const uint64_t yl = table[i].y, g = yl / 15113, l = yl % 15113;
    auto right = groups.find(g + 1);
    if (right == groups.end()) continue;
    for (uint64_t m = 0; m < 64; ++m) {
      const uint64_t target = (l / 127 + m) % 119 * 127 + ((2 * m + g % 2) * (2 * m + g % 2) + l) % 127;
      auto [from, to] = right->second.equal_range(target);
      for (auto it = from; it != to; ++it) {
        const RefEntry& r = table[it->second];
        EXPECT_TRUE(pos_oracle::Matches(yl, r.y));
        RefEntry e{0, {}, i, it->second};
        const uint64_t f = pos_oracle::Fx(t, yl, table[i].meta, r.meta, e.meta);
        e.y = t == 7 ? f >> 6 : kScale.RemapY(f);
        next.push_back(std::move(e));
      }
    }
  }
  return next;
}

struct Reference {
  std::vector<RefTable> tables;  // Chia tables 2..7 at 0..5
  std::vector<std::array<uint32_t, 2>> x1;  // x of table 1 by index
};

const Reference& BuildReference() {
  static const Reference ref = [] {
    Reference r;
    RefTable t1;
    for (uint64_t x = 0; x < (uint64_t{1} << 32); x += 16 << kScale.d) {
      for (uint64_t j = 0; j < 16; ++j) {
        t1.push_back({kScale.RemapY(pos_oracle::F1(kPlotId, x + j)), pos_oracle::Put(x + j, 32),
                      static_cast<uint32_t>(x + j), 0});
      }
    }
    r.tables.push_back(MatchNext(t1, 2));
    for (RefEntry& e : r.tables[0]) {  // keep the x instead of the first table
      e.left = t1[e.left].left, e.right = t1[e.right].left;
    }
    for (int t = 3; t <= 7; ++t) r.tables.push_back(MatchNext(r.tables.back(), t));
    return r;
  }();
  return ref;
}

// Sorted values of the six plot tables at `level`, and the rank of each entry.
std::vector<std::vector<uint64_t>> ReferenceTables(uint8_t level) {
  const Reference& ref = BuildReference();
  std::vector<std::vector<uint64_t>> out;
  std::vector<uint64_t> rank;  // of each entry of the previous Chia table
  for (int t = 1; t <= 5; ++t) {
    const RefTable& table = ref.tables[t];
    std::vector<std::pair<uint64_t, uint64_t>> values;
    for (uint64_t i = 0; i < table.size(); ++i) {
      uint64_t v;
      if (t == 1) {
        const RefEntry& a = ref.tables[0][table[i].left];
        const RefEntry& b = ref.tables[0][table[i].right];
        uint64_t p[4] = {a.left, a.right, b.left, b.right};
        for (uint64_t& x : p) x >>= 16 + level;
        std::sort(p, p + 4);
        v = p[0] + Choose(p[1] + 1, 2) + Choose(p[2] + 2, 3) + Choose(p[3] + 3, 4);
        // Table 0 is Chia table 3; its values come from the x under each table-3 entry.
        values.emplace_back(v, i);
        continue;
      }
      const uint64_t x = std::max(rank[table[i].left], rank[table[i].right]);
      const uint64_t y = std::min(rank[table[i].left], rank[table[i].right]);
      values.emplace_back(static_cast<uint64_t>((unsigned __int128)x * (x - 1) / 2) + y, i);
    }
    std::sort(values.begin(), values.end());
    rank.assign(values.size(), 0);
    std::vector<uint64_t> sorted;
    for (uint64_t j = 0; j < values.size(); ++j) {
      rank[values[j].second] = j;
      sorted.push_back(values[j].first);
      // A tie would leave the order of the next table's parents free.
      if (j > 0) {
        EXPECT_NE(values[j].first, values[j - 1].first) << t << " " << j;
      }
    }
    out.push_back(sorted);
  }
  // Table 5: f7 times table 4's count plus the entry's index there.
  std::vector<uint64_t> last;
  for (uint64_t i = 0; i < ref.tables[5].size(); ++i) {
    last.push_back(ref.tables[5][i].y * ref.tables[5].size() + rank[i]);
  }
  std::sort(last.begin(), last.end());
  out.push_back(last);
  return out;
}

TEST(TablePasses, ThinnedPlotEqualsANaivePlotterAtLevelsOneAndFive) {
  for (uint8_t level : {0, 4}) {
    EngineRig rig(level);
    auto t0 = std::chrono::steady_clock::now();
    const auto tables = rig.RunAll();
    std::cerr << "engine " << std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() << "\n";
    const auto expected = ReferenceTables(level);
    for (int t = 0; t < 6; ++t) {
      EXPECT_GT(expected[t].size(), 500000u) << t;
      EXPECT_TRUE(tables[t] == expected[t]) << int(level) << " table " << t << ": "
                                            << tables[t].size() << " vs " << expected[t].size();
    }
    EXPECT_EQ(rig.h.step, 8);
    EXPECT_TRUE(rig.e.writers128[0]->Empty() && rig.e.writers128[1]->Empty());
  }
}

}  // namespace
