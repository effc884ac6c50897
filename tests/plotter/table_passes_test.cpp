#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <iterator>
#include <tuple>
#include <vector>

#include "chia/f1.h"
#include "chia/park_decoder.h"
#include "plotter/engine_buffers.h"
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
    s.memoryBudget = RequiredJobMemory(s) + 1024 * (kScale.StreamBlockBytes() + 128);
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
  std::vector<uint32_t> first(15113), count(15113);  // of the right group, by y mod kBC
  RefTable next;
  for (uint64_t l0 = 0, r0 = 0; l0 < table.size(); l0 = r0) {
    const uint64_t g = table[l0].y / 15113;
    for (r0 = l0; r0 < table.size() && table[r0].y / 15113 == g;) ++r0;
    uint64_t r1 = r0;
    for (; r1 < table.size() && table[r1].y / 15113 == g + 1; ++r1) {
      const uint64_t r = table[r1].y % 15113;
      if (count[r]++ == 0) first[r] = static_cast<uint32_t>(r1);
    }
    for (uint64_t i = l0; i < r0; ++i) {
      const uint64_t yl = table[i].y, l = yl % 15113;
      for (uint64_t m = 0; m < 64; ++m) {
        const uint64_t target =
            (l / 127 + m) % 119 * 127 + ((2 * m + g % 2) * (2 * m + g % 2) + l) % 127;
        for (uint64_t j = first[target]; j < first[target] + count[target]; ++j) {
          EXPECT_TRUE(pos_oracle::Matches(yl, table[j].y));
          RefEntry e{0, {}, static_cast<uint32_t>(i), static_cast<uint32_t>(j)};
          const uint64_t f = pos_oracle::Fx(t, yl, table[i].meta, table[j].meta, e.meta);
          e.y = t == 7 ? f >> 6 : kScale.RemapY(f);
          next.push_back(std::move(e));
        }
      }
    }
    for (uint64_t j = r0; j < r1; ++j) count[table[j].y % 15113] = 0;
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
    const auto tables = rig.RunAll();
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


struct CaptureSink final : BucketSink {
  std::vector<std::vector<uint8_t>> buckets = std::vector<std::vector<uint8_t>>(128);
  uint64_t width = 12;
  void Append(uint64_t bucket, const void* entries, uint64_t count) override {
    const auto* p = static_cast<const uint8_t*>(entries);
    buckets.at(bucket).insert(buckets[bucket].end(), p, p + count * width);
  }
};

// Four in-memory buckets of one input bucket at production density (about 236 entries a group):
// step 1's kernel finds about one pair per entry, each a pair by the rule with the f2 of the
// bit-string oracle.
TEST(TablePasses, StepOneAtProductionDensityFindsAboutOnePairPerEntry) {
  constexpr uint64_t kInput = 5, kGroups = 4 * 556, kEntries = kGroups * 236;
  std::mt19937_64 random(3);
  std::vector<std::vector<uint8_t>> data(256, std::vector<uint8_t>(169096 * 8));
  std::vector<uint8_t*> pointers;
  std::vector<uint64_t> counts(256), start(256 * 556), length(256 * 556), y(kEntries);
  std::vector<uint8_t> scratch(169096 * 8);
  for (uint32_t x = 0; x < kEntries; ++x) {
    const uint64_t g = random() % kGroups, r = random() % 15113;
    y[x] = (142096 * kInput + g) * 15113 + r;
    const F1Entry e{static_cast<uint32_t>(r | (g % 556) << 14), __builtin_bswap32(x)};
    std::memcpy(data[g / 556].data() + counts[g / 556]++ * 8, &e, 8);
  }
  for (uint64_t b = 0; b < 256; ++b) {
    SortBucketRecords8(data[b].data(), counts[b], scratch.data(), &start[b * 556],
                       &length[b * 556]);
    pointers.push_back(data[b].data());
  }
  MatchJob job{pointers.data(), start.data(), length.data(), kInput, 256 * 556, {}, 0, 1};
  CaptureSink sink;
  ArenaPtr<BucketWriter<128>> writer = AllocateBlockBuffer(HeapArena(), HeapArena());
  writer->Bind(&sink);
  ArenaPtr<MatchScratch> match = AllocateMatchScratch(HeapArena(), HeapArena());
  for (uint64_t task = 0; task < 256; ++task) {
    MatchBucketAndHash(job, *writer, *match, scratch.data(), task);
  }
  writer->Flush();
  uint64_t pairs = 0;
  for (uint64_t b = 0; b < 128; ++b) {
    for (uint64_t at = 0; at < sink.buckets[b].size(); at += 12, ++pairs) {
      uint32_t e[3];
      std::memcpy(e, sink.buckets[b].data() + at, 12);
      const uint32_t xl = __builtin_bswap32(e[1]), xr = __builtin_bswap32(e[2]);
      ASSERT_TRUE(pos_oracle::Matches(y.at(xl), y.at(xr))) << xl << " " << xr;
      Bits meta;
      const uint64_t f =
          pos_oracle::Fx(2, y[xl], pos_oracle::Put(xl, 32), pos_oracle::Put(xr, 32), meta);
      EXPECT_EQ(b, f / 15113 / 142096);
      EXPECT_EQ(e[0], f % 15113 | (f / 15113 % 142096) << 14);
    }
  }
  EXPECT_NEAR(static_cast<double>(pairs) / kEntries, 1.0, 0.03);
}

// Entries of `width` bytes: {u64 key, then a u64 value or metadata} each.
std::vector<uint8_t> Entries(uint64_t width, std::vector<std::pair<uint64_t, uint64_t>> words) {
  std::vector<uint8_t> bytes(words.size() * width);
  for (uint64_t i = 0; i < words.size(); ++i) {
    std::memcpy(&bytes[i * width], &words[i].first, std::min<uint64_t>(width, 8));
    if (width > 8) std::memcpy(&bytes[i * width + (width == 12 ? 4 : 8)], &words[i].second, 8);
  }
  return bytes;
}

TEST(TablePasses, ErrorCodes) {
  using Setup = std::function<void(EngineRig&)>;
  const auto at = [](uint8_t step, uint8_t sub, int8_t bucket, Setup then) -> Setup {
    return [=](EngineRig& r) {
      r.h.step = step, r.h.subStep = sub, r.h.bucket = bucket;
      then(r);
    };
  };
  const Setup run = [](EngineRig& r) { r.e.RunStep(); };
  const Setup progress = [](EngineRig& r) { r.e.UpdateProgress(); };
  // Two entries of adjacent groups that match (y mod kBC 0 in groups 0 and 1), parents p and q.
  const auto pair = [](uint64_t p, uint64_t q) {
    return Entries(24, {{p << 32, 0}, {q << 32 | 1 << 14, 0}});
  };
  const std::vector<std::pair<std::string, Setup>> cases = {
      {"596EEE77", at(9, 0, 0, run)},
      {"934E2AB1", at(2, 2, 0, run)},
      {"532E393A", at(3, 2, 0, run)},
      {"8515DBE7", at(4, 2, 0, run)},
      {"4E9AACD9", at(5, 2, 0, run)},
      {"321B3155", at(6, 2, 0, run)},
      {"5E503DFB", at(0, 0, -1, run)},
      {"4880AF42", at(3, 0, -1, run)},
      {"9F153201", at(2, 1, -1, run)},
      {"0FC6401B", at(7, 0, -1, run)},
      {"B8B2233B", at(8, 0, 0, [](EngineRig& r) { r.e.StepInputWidth(); })},
      {"C67B743A", at(8, 0, 0, [](EngineRig& r) { r.e.StepOutputWidth(); })},
      {"DBDA8EA8", at(8, 0, 0, [](EngineRig& r) { r.e.ResetStepState(); })},
      {"607520EB", at(2, 0, -1, progress)},
      {"979F592F", at(0, 1, 0, progress)},
      {"FFDFC7CE", at(1, 1, 0, progress)},
      {"4811F0D", at(3, 2, 0, progress)},
      {"40AE858A", at(7, 1, 0, progress)},
      {"4096F5F8", at(9, 0, 0, progress)},
      {"498A4E5F", at(8, 0, 3, progress)},
      {"7729975F", [](EngineRig&) { PlotStepIoWeight(0, 1, 4, 1 << 20); }},
      {"DC7A8E46", [](EngineRig&) { PlotStepIoWeight(1, 1, 4, 1 << 20); }},
      {"490BC0A6", [](EngineRig&) { PlotStepIoWeight(7, 1, 4, 1 << 20); }},
      {"43EDE124", [](EngineRig&) { PlotStepIoWeight(8, 0, 4, 1 << 20); }},
      {"8D027517", [](EngineRig&) { PrefixValueRange(17); }},
      {"628B520A", [](EngineRig& r) { r.e.BindBucketBuffers(), r.e.BindBucketBuffers(); }},
      {"2CE9ACE7", [](EngineRig& r) { r.e.writers128[1]->counts[5] = 1, r.e.BindBucketBuffers(); }},
      {"0D86FEB5", [](EngineRig& r) { r.e.FlushBucketBuffers(); }},
      {"2554D2FB", at(2, 1, 5, [](EngineRig& r) { r.h.encoderStateLength = 100, r.e.RunStep(); })},
      {"invalid temp file: 758F6F45",
       at(3, 1, 3, [](EngineRig& r) { r.h.runningTotal = (uint64_t{1} << 32) + 1, r.e.RunStep(); })},
      {"invalid temp file: 3B61C0E4", [](EngineRig& r) { r.MoveTo(2, 1, 0), r.e.RunStep(); }},
      {"invalid temp file: 557F11BD",
       [&](EngineRig& r) {
         r.Load(3, 0, 1, 1, pair(1000, 2000), 24);
         r.h.ranges[1] = 1;
         r.e.RunStep();
       }},
      {"invalid temp file: 52CF5C3B",  // the line point of (2^29, 0) lies above 2^56
       [&](EngineRig& r) {
         r.Load(3, 0, 1, 1, pair(uint64_t{1} << 29, 0), 24);
         r.h.ranges[1] = uint64_t{1} << 63;
         r.e.RunStep();
       }},
      {"invalid temp file: 419419EB",
       [](EngineRig& r) {
         r.Load(7, 0, 0, 0, Entries(8, {{5, 0}}), 8);
         r.e.plotHeader.tables[4].entryCount = 5;
         r.e.RunStep();
       }},
      {"invalid temp file: 9E3C5B17",  // the next step's bucket has no room left
       [](EngineRig& r) {
         r.Load(6, 1, 0, 0, Entries(12, {{0, 0}}), 12);
         r.h.ranges[1] = r.h.ranges[2] = 1;
         r.e.plotHeader.tables[3].entryCount = 100;
         for (BucketRegion& region : r.e.layoutB) region.capacityEntries = 0;
         r.e.HandOverStream();
         r.e.RunStep();
       }},
  };
  for (const auto& [text, setup] : cases) {
    EngineRig rig;
    EXPECT_EQ(ThrownText([&] { setup(rig); }), text);
    // A failed step leaves no writer bound and no consumer on the value queue.
    EXPECT_TRUE(rig.e.writers128[0]->Empty() || text == "628B520A") << text;
  }
}

}  // namespace
