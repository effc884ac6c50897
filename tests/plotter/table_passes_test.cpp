#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "chia/f1.h"
#include "chia/park_decoder.h"
#include "plotter/engine_buffers.h"
#include "plotter/plot_engine.h"
#include "tests/chia/pos_verifier.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/thrown_text.h"

namespace {

using pos_oracle::Bits;
using Table = std::vector<uint64_t>;
const PlotScale kScale = PlotScale::WithShift(12);
const uint8_t kPassesPlotId[32] = {7,  1,  2,  3,  4,  5,  6,  7,  8, 9,
                                   10, 11, 12, 13, 14, 15, 16, 17, 18};

// An engine at d = 12 over one temp file and a plot file, its stream fed for step 0, driven
// step by step on the test's thread.
struct EngineRig {
  TestDirectory dir;
  PlotEngineHandle handle = Make();
  PlotEngine& e = *handle;
  TempFileHeader& h = e.tempHeaders[0];

  explicit EngineRig(uint8_t level = 0) {
    e.usedTempFiles = 1, h.level = level, e.state = kPlotPlotting;
    e.tempFiles[0]->Open(dir / "temp0", true);
    e.tempWorkers[0]->SetFile(e.tempFiles[0]);
    e.plotFile->Open(dir / "plot", true);
    e.plotWorker->SetFile(e.plotFile.get());
    e.plotWriter = &e.plotData.emplace(*e.plotWorker, kFinalPlotDataOffset, ~uint64_t{0});
    MakeF1Key(kPassesPlotId, e.f1Key);
    e.ResetStepState();
    DirectFile* files[1] = {e.tempFiles[0]};
    e.stream->Begin(files, 1, TempFileBytes(1, kScale), {});
    e.FeedStream();
  }
  ~EngineRig() { e.stream->StopThreads(); }

  static PlotEngineHandle Make() {  // the smallest stream, as in production: 1024 blocks
    const PlotEngineSettings s{2, RequiredJobMemory({2, 0, 1, kScale}), 1, kScale};
    return CreatePlotEngine(HeapArena(), s, HeapArena(), {}, nullptr, nullptr);
  }

  void MoveTo(uint8_t step, uint8_t sub, int8_t bucket) {
    h.step = step, h.subStep = sub, h.bucket = bucket;
    e.ResetStepState();
    e.HandOverStream();
  }

  // Puts {u64, u64} entries of `width` bytes into bucket b of what (step, sub) reads, then moves
  // there at bucket b.
  void Load(uint8_t step, uint8_t sub, int8_t b, uint64_t width,
            std::vector<std::array<uint64_t, 2>> in) {
    if (step == 1 || sub == 1) MoveTo(step == 1 ? 0 : step, 0, 0);
    if (step != 1 && sub == 0) MoveTo(step - 1, step == 2 ? 0 : 1, 0);
    std::vector<uint8_t> bytes(in.size() * width);
    for (uint64_t i = 0; i < in.size(); ++i) {
      std::memcpy(&bytes[i * width], &in[i][0], std::min<uint64_t>(width, 8));
      if (width > 8) std::memcpy(&bytes[i * width + (width == 12 ? 4 : 8)], &in[i][1], 8);
    }
    e.stream->Append(b, bytes.data(), in.size());
    MoveTo(step, sub, b);
  }

  // Steps 0..7 in order; then the six tables as the plot file holds them.
  std::vector<Table> RunAll() {
    for (e.RunStep(); h.step != 8; e.RunStep()) e.ResetStepState(), e.HandOverStream();
    e.plotData->Finish();
    const std::vector<uint8_t> file = ReadWholeFile(dir / "plot");
    std::vector<Table> tables(6);
    Table out(65536);
    for (uint32_t t = 0; t < 6; ++t) {
      const PlotTableRecord& r = e.plotHeader.tables[t];
      ParkDecoder decoder;
      decoder.Init(r.coding, t == 5, t != 5);
      for (uint64_t p = 0, position; p < r.blockCount; ++p) {
        auto [n, first] = decoder.Decode(&file.at(r.offset + p * 65536), 65536, out.data(),
                                         out.size(), position, false, false);
        tables[t].insert(tables[t].end(), first, first + n);
      }
      EXPECT_EQ(tables[t].size(), r.entryCount) << t;
    }
    return tables;
  }
};

// ---- A naive plotter: y sorted, pairs of adjacent groups by the matching rule (candidates
// from the rule's 64 targets), fx over bit strings, then the values of a level. ----
struct RefEntry {
  uint64_t y;
  Bits meta;
  uint32_t left, right;  // parents in the previous table; x for table 2
};
using RefTable = std::vector<RefEntry>;

RefTable MatchNext(RefTable& table, int t) {
  std::sort(table.begin(), table.end(), [](auto& a, auto& b) { return a.y < b.y; });
  std::vector<uint32_t> first(15113), count(15113);  // of the right group, by y mod kBC
  RefTable next;
  for (uint64_t l0 = 0, r0 = 0, r1; l0 < table.size(); l0 = r0) {
    const uint64_t g = table[l0].y / 15113;
    for (r0 = l0; r0 < table.size() && table[r0].y / 15113 == g;) ++r0;
    for (r1 = r0; r1 < table.size() && table[r1].y / 15113 == g + 1; ++r1) {
      if (count[table[r1].y % 15113]++ == 0) first[table[r1].y % 15113] = r1;
    }
    for (uint64_t i = l0; i < r0; ++i) {
      const uint64_t yl = table[i].y, l = yl % 15113;
      for (uint64_t m = 0, p = g % 2; m < 64; ++m) {
        const uint64_t r = (l / 127 + m) % 119 * 127 + ((2 * m + p) * (2 * m + p) + l) % 127;
        for (uint32_t j = first[r]; j < first[r] + count[r]; ++j) {
          EXPECT_TRUE(pos_oracle::Matches(yl, table[j].y));
          RefEntry& e = next.emplace_back(RefEntry{0, {}, static_cast<uint32_t>(i), j});
          const uint64_t f = pos_oracle::Fx(t, yl, table[i].meta, table[j].meta, e.meta);
          e.y = t == 7 ? f >> 6 : kScale.RemapY(f);
        }
      }
    }
    for (uint64_t j = r0; j < r1; ++j) count[table[j].y % 15113] = 0;
  }
  return next;
}

const std::vector<RefTable>& ReferenceTree() {  // tables 2..7
  static const std::vector<RefTable> kTree = [] {
    RefTable t1;
    for (uint64_t x = 0; x < (uint64_t{1} << 32); x += 16 << kScale.d) {
      for (uint64_t j = x; j < x + 16; ++j) {
        t1.push_back({kScale.RemapY(pos_oracle::F1(kPassesPlotId, j)), pos_oracle::Put(j, 32),
                      static_cast<uint32_t>(j), 0});
      }
    }
    std::vector<RefTable> tree{MatchNext(t1, 2)};
    for (RefEntry& e : tree[0]) e.left = t1[e.left].left, e.right = t1[e.right].left;
    for (int t = 3; t <= 7; ++t) tree.push_back(MatchNext(tree.back(), t));
    return tree;
  }();
  return kTree;
}

// The six plot tables at `level`: prefix codes of table 3, line points of the ranks of tables
// 4..7, and f7 times table 4's count plus the rank.
std::vector<Table> ReferenceTables(uint8_t level) {
  const std::vector<RefTable>& tree = ReferenceTree();
  std::vector<Table> out;
  Table rank;
  for (int t = 1; t <= 6; ++t) {
    std::vector<std::pair<uint64_t, uint64_t>> values;
    for (uint64_t i = 0; i < tree[std::min(t, 5)].size(); ++i) {
      const RefEntry& e = tree[std::min(t, 5)][i];
      if (t == 1) {
        const RefEntry &a = tree[0][e.left], &b = tree[0][e.right];
        uint64_t p[4] = {a.left, a.right, b.left, b.right};
        for (uint64_t& x : p) x >>= 16 + level;
        std::sort(p, p + 4);
        values.emplace_back(p[0] + Choose(p[1] + 1, 2) + Choose(p[2] + 2, 3) + Choose(p[3] + 3, 4),
                            i);
      } else if (t == 6) {
        values.emplace_back(e.y * tree[5].size() + rank[i], i);
      } else {
        const uint64_t x = std::max(rank[e.left], rank[e.right]);
        values.emplace_back(x * (x - 1) / 2 + std::min(rank[e.left], rank[e.right]), i);
      }
    }
    std::sort(values.begin(), values.end());
    Table sorted(values.size());
    rank.resize(values.size());
    for (uint64_t j = 0; j < values.size(); ++j) {
      sorted[j] = values[j].first, rank[values[j].second] = j;
    }
    // A tie would leave the order of the next table's parents free.
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << t;
    out.push_back(sorted);
  }
  return out;
}

TEST(TablePasses, ThinnedPlotEqualsANaivePlotterAtLevelsOneAndFive) {
  for (uint8_t level : {0, 4}) {
    EngineRig rig(level);
    const std::vector<Table> tables = rig.RunAll(), expected = ReferenceTables(level);
    for (int t = 0; t < 6; ++t) {
      EXPECT_GT(expected[t].size(), 500000u) << t;
      EXPECT_TRUE(tables[t] == expected[t]) << int(level) << " " << t << ": " << tables[t].size();
    }
    EXPECT_TRUE(rig.e.writers128[0]->Empty() && rig.e.writers128[1]->Empty());
  }
}

// Four in-memory buckets of input bucket 5 at production density (about 236 entries a group):
// step 1's kernel finds about one pair per entry, each a pair by the rule with the oracle's f2.
TEST(TablePasses, StepOneAtProductionDensityFindsAboutOnePairPerEntry) {
  constexpr uint64_t kGroups = 4 * 556, kEntries = kGroups * 236;
  std::mt19937_64 random(3);
  std::vector<std::vector<uint8_t>> data(256, std::vector<uint8_t>(169096 * 8));
  std::vector<uint8_t*> pointers;
  Table counts(256), start(256 * 556), length(256 * 556), y(kEntries);
  for (uint32_t x = 0; x < kEntries; ++x) {
    const uint64_t g = random() % kGroups, r = random() % 15113;
    y[x] = (142096 * 5 + g) * 15113 + r;
    const F1Entry e{static_cast<uint32_t>(r | (g % 556) << 14), __builtin_bswap32(x)};
    std::memcpy(data[g / 556].data() + counts[g / 556]++ * 8, &e, 8);
  }
  std::vector<uint8_t> scratch(169096 * 8);
  for (uint64_t b = 0; b < 256; ++b) {
    SortBucketRecords8(data[b].data(), counts[b], scratch.data(), &start[b * 556],
                       &length[b * 556]);
    pointers.push_back(data[b].data());
  }
  const MatchJob job{pointers.data(), start.data(), length.data(), 5, 256 * 556, {}, 0, 1};
  std::vector<std::vector<uint8_t>> out(256, std::vector<uint8_t>(kEntries / 32 * 12));
  std::vector<uint8_t*> outs;
  for (auto& o : out) outs.push_back(o.data());
  InMemoryBucketSink<12> sink(outs.data(), Table(256, kEntries / 32).data());
  ArenaPtr<BucketWriter<128>> writer = AllocateBlockBuffer(HeapArena(), HeapArena());
  ArenaPtr<MatchScratch> match = AllocateMatchScratch(HeapArena(), HeapArena());
  writer->Bind(&sink);
  for (uint64_t task = 0; task < 256; ++task) {
    MatchBucketAndHash(job, *writer, *match, scratch.data(), task);
  }
  writer->Flush();
  uint64_t pairs = 0;
  for (uint64_t b = 0; b < 128; ++b) {
    for (uint64_t at = 0; at < sink.Fill(b); ++at, ++pairs) {
      uint32_t e[3];
      std::memcpy(e, &out[b][at * 12], 12);
      const uint32_t xl = __builtin_bswap32(e[1]), xr = __builtin_bswap32(e[2]);
      ASSERT_TRUE(pos_oracle::Matches(y.at(xl), y.at(xr))) << xl << " " << xr;
      Bits meta;
      const uint64_t f =
          pos_oracle::Fx(2, y[xl], pos_oracle::Put(xl, 32), pos_oracle::Put(xr, 32), meta);
      EXPECT_EQ(b, f / 15113 / 142096);
      EXPECT_EQ(e[0], f % 15113 | (f / 15113 % 142096) << 14);
    }
  }
  EXPECT_EQ(sink.Dropped(), 0u);
  EXPECT_NEAR(static_cast<double>(pairs) / kEntries, 1.0, 0.03);
}

TEST(TablePasses, ErrorCodes) {
  using Setup = std::function<void(EngineRig&)>;
  // {step, sub-step, bucket, call: 'r' RunStep, 'p' UpdateProgress, 'i'/'o' widths, 'l' layouts}
  const std::vector<std::tuple<int, int, int, char, std::string>> positions = {
      {9, 0, 0, 'r', "596EEE77"},  {2, 2, 0, 'r', "934E2AB1"},  {3, 2, 0, 'r', "532E393A"},
      {4, 2, 0, 'r', "8515DBE7"},  {5, 2, 0, 'r', "4E9AACD9"},  {6, 2, 0, 'r', "321B3155"},
      {0, 0, -1, 'r', "5E503DFB"}, {3, 0, -1, 'r', "4880AF42"}, {2, 1, -1, 'r', "9F153201"},
      {7, 0, -1, 'r', "0FC6401B"}, {8, 0, 0, 'i', "B8B2233B"},  {8, 0, 0, 'o', "C67B743A"},
      {8, 0, 0, 'l', "DBDA8EA8"},  {2, 0, -1, 'p', "607520EB"}, {0, 1, 0, 'p', "979F592F"},
      {1, 1, 0, 'p', "FFDFC7CE"},  {3, 2, 0, 'p', "4811F0D"},   {7, 1, 0, 'p', "40AE858A"},
      {9, 0, 0, 'p', "4096F5F8"},  {8, 0, 3, 'p', "498A4E5F"}};
  std::vector<std::pair<std::string, Setup>> cases;
  for (const auto& [step, sub, bucket, call, text] : positions) {
    cases.emplace_back(text,
                       [=, step = step, sub = sub, bucket = bucket, call = call](EngineRig& r) {
                         r.h.step = step, r.h.subStep = sub, r.h.bucket = bucket;
                         if (call == 'r') r.e.RunStep();
                         if (call == 'p') r.e.UpdateProgress();
                         if (call == 'i') r.e.StepInputWidth();
                         if (call == 'o') r.e.StepOutputWidth();
                         if (call == 'l') r.e.ResetStepState();
                       });
  }
  const auto line = [](uint64_t p, uint64_t q, uint64_t rangeIn) -> Setup {
    return [=](EngineRig& r) {  // two matching entries (y mod kBC 0 in groups 0 and 1)
      r.Load(3, 0, 1, 24, {{p << 32, 0}, {q << 32 | 1 << 14, 0}});
      r.h.ranges[1] = rangeIn, r.e.RunStep();
    };
  };
  const std::vector<std::pair<std::string, Setup>> more = {
      {"7729975F", [](EngineRig&) { PlotStepIoWeight(0, 1, 4, 4096); }},
      {"DC7A8E46", [](EngineRig&) { PlotStepIoWeight(1, 1, 4, 4096); }},
      {"490BC0A6", [](EngineRig&) { PlotStepIoWeight(7, 1, 4, 4096); }},
      {"43EDE124", [](EngineRig&) { PlotStepIoWeight(8, 0, 4, 4096); }},
      {"8D027517", [](EngineRig&) { PrefixValueRange(17); }},
      {"628B520A", [](EngineRig& r) { r.e.BindBucketBuffers(), r.e.BindBucketBuffers(); }},
      {"2CE9ACE7", [](EngineRig& r) { r.e.writers128[1]->counts[5] = 1, r.e.BindBucketBuffers(); }},
      {"0D86FEB5", [](EngineRig& r) { r.e.FlushBucketBuffers(); }},
      {"2554D2FB",
       [](EngineRig& r) { r.MoveTo(2, 1, 5), r.h.encoderStateLength = 100, r.e.RunStep(); }},
      {"invalid temp file: 758F6F45",
       [](EngineRig& r) {
         r.MoveTo(3, 1, 3), r.h.runningTotal = (uint64_t{1} << 32) + 1, r.e.RunStep();
       }},
      {"invalid temp file: 3B61C0E4", [](EngineRig& r) { r.MoveTo(2, 1, 0), r.e.RunStep(); }},
      {"invalid temp file: 557F11BD", line(1000, 2000, 1)},
      {"invalid temp file: 52CF5C3B", line(uint64_t{1} << 29, 0, uint64_t{1} << 63)},  // > 2^56
      {"invalid temp file: 419419EB",
       [](EngineRig& r) {
         r.Load(7, 0, 0, 8, {{5, 0}}), r.e.plotHeader.tables[4].entryCount = 5, r.e.RunStep();
       }},
      {"invalid temp file: 9E3C5B17",  // the next step's bucket has no room
       [](EngineRig& r) {
         r.Load(6, 1, 0, 12, {{0, 0}});
         r.h.ranges[1] = r.h.ranges[2] = 1, r.e.plotHeader.tables[3].entryCount = 100;
         for (BucketRegion& region : r.e.layoutB) region.capacityEntries = 0;
         r.e.HandOverStream(), r.e.RunStep();
       }}};
  cases.insert(cases.end(), more.begin(), more.end());
  for (const auto& [text, setup] : cases) {
    EngineRig rig;
    EXPECT_EQ(ThrownText([&, &setup = setup] { setup(rig); }), text);
    // A failed step leaves no writer bound and no consumer on the value queue.
    EXPECT_TRUE(rig.e.writers128[0]->Empty() || text == "628B520A") << text;
  }
}

}  // namespace

namespace {

// The plot file ends after one park, so the encoder fails early in table 1's pass while the
// workers regroup the next input bucket: the pass ends with the encoder's failure instead of
// leaving them waiting for room in its queue, and the engine is left clean.
TEST(TablePasses, EncoderFailureEndsThePassWithItsText) {
  EngineRig rig;
  rig.e.plotData.reset();
  rig.e.plotWriter = &rig.e.plotData.emplace(*rig.e.plotWorker, kFinalPlotDataOffset, 65536);
  const std::string text = ThrownText([&] {
    for (rig.e.RunStep(); rig.h.step != 8; rig.e.RunStep()) {
      rig.e.ResetStepState(), rig.e.HandOverStream();
    }
  });
  EXPECT_EQ(text, "14FFDD70");
  EXPECT_EQ(rig.h.step, 2);
  EXPECT_EQ(rig.h.subStep, 1);
  EXPECT_GT(rig.h.bucket, 0);  // past the first bucket: the failure met a later one
  EXPECT_TRUE(rig.e.writers128[0]->Empty() && rig.e.writers128[1]->Empty());
  // As the plot thread closes a failed plot: the writer hands back its buffers.
  rig.e.plotData->Finish();
}

}  // namespace
