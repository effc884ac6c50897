#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plotter/plot_file.h"
#include "tests/plotter/plot_test_support.h"

namespace {

// Table 0 spans more than 32 parks (wide raw fields keep the value count small); table 1 is
// empty; the others hold one or a few parks.
class PlotReadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plot_ = new TestPlot(TestPlot::Make({600000, 0, 3000, 5, 1, 20000}, uint64_t{1} << 40));
  }
  static void TearDownTestSuite() {
    delete plot_;
    plot_ = nullptr;
  }

  // First position of every park of table t, from the encoded parks themselves.
  static std::vector<uint64_t> ParkStarts(const TestPlot& plot, int t) {
    std::vector<uint64_t> starts;
    const EncodedTable& table = plot.tables[t];
    ParkDecoder decoder;
    decoder.Init(table.record.coding, false, true);
    std::vector<uint64_t> out(65536);
    for (uint64_t b = 0; b < table.record.blockCount; ++b) {
      uint64_t position = 0;
      decoder.Decode(table.parks.data() + b * 65536, 65536, out.data(), out.size(), position, true,
                     false);
      starts.push_back(position);
    }
    return starts;
  }

  // Positions worth looking up: both sides of every park boundary, the ends, a random sample.
  static std::vector<uint64_t> Probes(const TestPlot& plot, int t) {
    const uint64_t count = plot.tables[t].values.size();
    std::set<uint64_t> probes = {0, count - 1};
    for (uint64_t start : ParkStarts(plot, t)) {
      probes.insert(start);
      if (start > 0) probes.insert(start - 1);
      if (start + 1 < count) probes.insert(start + 1);
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 300; ++i) probes.insert(random() % count);
    return {probes.begin(), probes.end()};
  }

  static void ExpectLookups(PlotFile& file, const TestPlot& plot, int t, uint64_t slot) {
    for (uint64_t p : Probes(plot, t)) {
      ASSERT_EQ(file.ReadAndDecodeRange(t, p, slot), plot.tables[t].values[p])
          << "t " << t << " p " << p;
    }
  }

  static TestPlot* plot_;
  TestDirectory dir_;
};

TestPlot* PlotReadTest::plot_ = nullptr;

TEST_F(PlotReadTest, LookupsFindEveryPositionWithTheWrittenIndex) {
  ASSERT_GT(plot_->header.tables[0].blockCount, 33u);
  ASSERT_EQ(plot_->header.tables[1].blockCount, 0u);
  plot_->Write(dir_ / "p.fpt");
  TestOwner owner;
  std::shared_ptr<PlotFile> file = OpenPlotFile(owner.owner, dir_ / "p.fpt", 0);
  for (int t : {0, 2, 3, 4}) ExpectLookups(*file, *plot_, t, 1);
  EXPECT_TRUE(file->stream.is_open());

  // Positions that no park holds.
  const uint64_t count = plot_->tables[0].values.size();
  for (uint64_t p : {count, count + 1, uint64_t{1} << 32, ~uint64_t{0}}) {
    EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeRange(0, p, 0); }), "invalid plot file: 9BA3D4B5")
        << p;
  }
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeRange(4, 1, 0); }), "invalid plot file: 9BA3D4B5");

  // A table without blocks answers at once and reads nothing.
  std::fill(owner.reads[0].begin(), owner.reads[0].end(), 0x5A);
  owner.owner.slots[0].blocksRead = 7;
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeRange(1, 0, 0); }), "invalid plot file: 9BA3D4B5");
  EXPECT_TRUE(std::all_of(owner.reads[0].begin(), owner.reads[0].end(),
                          [](uint8_t b) { return b == 0x5A; }));
  EXPECT_EQ(owner.owner.slots[0].blocksRead, 7u);
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(1, 0, 0, 0); }), "9CB78316");

  // The last table has no position field: it is not looked up by position.
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeRange(5, 0, 0); }), "A566C686");
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeRange(0, 0, 2); }), "55D8B19C");
}

TEST_F(PlotReadTest, WideCorrectionsWalkDownInWindowsOf32) {
  const uint32_t n = plot_->header.tables[0].blockCount;
  // A crude index: every guess is block 0 and the corrections reach the whole table, so a
  // lookup starts with the top 32 blocks and walks down window by window.
  TestPlot crude = *plot_;
  crude.header.tables[0].index.scale = 0;
  for (BlockIndexPair& pair : crude.header.tables[0].index.pairs)
    pair = {0, static_cast<int16_t>(n - 1)};
  crude.Write(dir_ / "crude.fpt");
  // Guesses spread by the real scale, with corrections reaching below 0 and past the end.
  TestPlot loose = *plot_;
  for (BlockIndexPair& pair : loose.header.tables[0].index.pairs) {
    pair = {static_cast<int16_t>(-static_cast<int>(n)), static_cast<int16_t>(n)};
  }
  loose.Write(dir_ / "loose.fpt");

  TestOwner owner;
  std::shared_ptr<PlotFile> crudeFile = OpenPlotFile(owner.owner, dir_ / "crude.fpt", 0);
  std::shared_ptr<PlotFile> looseFile = OpenPlotFile(owner.owner, dir_ / "loose.fpt", 0);
  ExpectLookups(*crudeFile, *plot_, 0, 0);
  ExpectLookups(*looseFile, *plot_, 0, 1);
  EXPECT_EQ(
      ThrownText([&] { crudeFile->ReadAndDecodeRange(0, plot_->tables[0].values.size(), 0); }),
      "invalid plot file: 9BA3D4B5");

  // Corrections that name no block below the guess's end give an absent position.
  TestPlot nowhere = *plot_;
  nowhere.header.tables[0].index.scale = 0;
  for (BlockIndexPair& pair : nowhere.header.tables[0].index.pairs) pair = {-9, -5};
  nowhere.Write(dir_ / "nowhere.fpt");
  std::shared_ptr<PlotFile> nowhereFile = OpenPlotFile(owner.owner, dir_ / "nowhere.fpt", 0);
  EXPECT_EQ(ThrownText([&] { nowhereFile->ReadAndDecodeRange(0, 0, 0); }),
            "invalid plot file: 9BA3D4B5");
}

TEST_F(PlotReadTest, BlockReadsAndDecodes) {
  plot_->Write(dir_ / "p.fpt");
  TestOwner owner;
  std::shared_ptr<PlotFile> file = OpenPlotFile(owner.owner, dir_ / "p.fpt", 0);
  const EncodedTable& t0 = plot_->tables[0];
  const uint32_t n = t0.record.blockCount;

  file->ReadTableBlocks(0, 1, 33, 0);
  EXPECT_EQ(owner.owner.slots[0].blocksRead, 32u);
  EXPECT_EQ(std::memcmp(owner.reads[0].data(), t0.parks.data() + 65536, 32 * 65536), 0);
  const std::vector<uint64_t> starts = ParkStarts(*plot_, 0);
  for (uint64_t i : {uint64_t{0}, uint64_t{31}}) {
    uint64_t position = 0;
    const DecodedBlock none = file->ReadAndDecodeBlock(0, i, position, true, false, 0);
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(position, starts[1 + i]);
    const DecodedBlock anchor = file->ReadAndDecodeBlock(0, i, position, false, true, 0);
    const uint64_t end = 2 + i < starts.size() ? starts[2 + i] : t0.values.size();
    ASSERT_EQ(anchor.count, 1u);
    EXPECT_EQ(anchor.values[0], t0.values[end - 1]);
    const DecodedBlock all = file->ReadAndDecodeBlock(0, i, position, false, false, 0);
    ASSERT_EQ(all.count, end - starts[1 + i]);
    EXPECT_EQ(all.values, owner.values[0].data() + 65536 - all.count);
    EXPECT_TRUE(std::equal(all.values, all.values + all.count, t0.values.begin() + starts[1 + i]));
  }
  uint64_t position = 0;
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeBlock(0, 32, position, false, false, 0); }),
            "F4F49433");

  // The last table: wide anchors, no position field.
  const EncodedTable& t5 = plot_->tables[5];
  file->ReadTableBlocks(5, 0, t5.record.blockCount, 1);
  uint64_t seen = 0;
  for (uint64_t b = 0; b < t5.record.blockCount; ++b) {
    const DecodedBlock block = file->ReadAndDecodeBlock(5, b, position, false, false, 1);
    ASSERT_TRUE(std::equal(block.values, block.values + block.count, t5.values.begin() + seen));
    seen += block.count;
  }
  EXPECT_EQ(seen, t5.values.size());

  // Window limits.
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(0, 0, 33, 0); }), "9CB78316");
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(0, 5, 4, 0); }), "9CB78316");
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(0, n - 1, n + 1, 0); }), "9CB78316");
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(6, 0, 1, 0); }), "A566C686");
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(0, 0, 1, 2); }), "55D8B19C");
  file->ReadTableBlocks(0, n - 32, n, 0);
  EXPECT_EQ(std::memcmp(owner.reads[0].data(), t0.parks.data() + (n - 32) * 65536, 32 * 65536), 0);
  // A refused read leaves no window behind.
  EXPECT_EQ(ThrownText([&] { file->ReadTableBlocks(0, 0, 40, 0); }), "9CB78316");
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeBlock(0, 0, position, false, false, 0); }),
            "F4F49433");
  file->ReadTableBlocks(0, 3, 3, 0);
  EXPECT_EQ(owner.owner.slots[0].blocksRead, 0u);

  // A damaged park: any decoder failure becomes one plot error.
  file->ReadTableBlocks(0, 0, 1, 0);
  owner.reads[0][65535] = 255;
  std::memset(&owner.reads[0][65531], 0xFF, 4);
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeBlock(0, 0, position, false, false, 0); }),
            "invalid plot file: 5FA82DD7");
  owner.owner.slots[0].valueCapacity = 0;
  file->ReadTableBlocks(0, 0, 1, 0);
  EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeBlock(0, 0, position, false, false, 0); }),
            "invalid plot file: 5FA82DD7");
}

TEST_F(PlotReadTest, SharedAndPrivateStreamsAgreeUnderContention) {
  plot_->Write(dir_ / "p.fpt");
  TestOwner shared(2, 0);
  TestOwner own(2, 1);
  std::shared_ptr<PlotFile> a = OpenPlotFile(shared.owner, dir_ / "p.fpt", 0);
  std::shared_ptr<PlotFile> b = OpenPlotFile(own.owner, dir_ / "p.fpt", 0);
  ASSERT_NE(a, b);

  const std::vector<uint64_t> probes = Probes(*plot_, 0);
  std::atomic<uint64_t> mismatches{0};
  auto run = [&](PlotFile* file, uint64_t slot, uint64_t seed) {
    std::mt19937_64 random(seed);
    for (int i = 0; i < 150; ++i) {
      const uint64_t p = probes[random() % probes.size()];
      if (file->ReadAndDecodeRange(0, p, slot) != plot_->tables[0].values[p]) ++mismatches;
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(run, a.get(), 0, 1);
  threads.emplace_back(run, a.get(), 1, 2);
  threads.emplace_back(run, b.get(), 0, 3);
  threads.emplace_back(run, b.get(), 1, 4);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0u);
  EXPECT_TRUE(a->stream.is_open());
  EXPECT_FALSE(b->stream.is_open());  // private reads never touch the shared stream

  for (uint64_t p : {uint64_t{0}, plot_->tables[0].values.size() - 1}) {
    EXPECT_EQ(a->ReadAndDecodeRange(0, p, 0), b->ReadAndDecodeRange(0, p, 0));
  }
  a->CloseSharedStream();
  EXPECT_FALSE(a->stream.is_open());
  EXPECT_EQ(a->ReadAndDecodeRange(0, 5, 0), plot_->tables[0].values[5]);
}

TEST(PlotRead, FewParksLeaveUntouchedCorrectionsThatStillOpen) {
  // Every delta escapes (7 raw bits, gaps near 2^40), so a park holds under 7,000 values and a
  // small table spreads over a few parks. With fewer than 256 parks the encoder leaves the
  // correction pairs that no guess reaches untouched.
  const uint64_t counts[kPlotTableCount] = {14000, 1, 3, 2, 1, 9000};
  std::vector<EncodedTable> tables(kPlotTableCount);
  for (uint32_t t = 0; t < kPlotTableCount; ++t) {
    tables[t] = EncodeTable(SortedValues(counts[t], uint64_t{1} << 40, 300 + t), uint64_t{1} << 11,
                            t == kLastPlotTable);
  }
  const TestPlot plot = TestPlot::FromTables(std::move(tables));
  for (uint32_t t : {0u, 5u}) {
    const PlotTableRecord& record = plot.header.tables[t];
    ASSERT_GE(record.blockCount, 2u) << t;
    EXPECT_TRUE(std::any_of(std::begin(record.index.pairs), std::end(record.index.pairs),
                            [](BlockIndexPair pair) { return IsUntouchedPair(pair); }))
        << t;
  }

  TestDirectory dir;
  plot.Write(dir / "small.fpt");
  TestOwner owner;
  std::shared_ptr<PlotFile> file = OpenPlotFile(owner.owner, dir / "small.fpt", 0);
  for (uint32_t t = 0; t < kLastPlotTable; ++t) {
    const std::vector<uint64_t>& values = plot.tables[t].values;
    for (uint64_t p = 0; p < values.size(); ++p) {
      ASSERT_EQ(file->ReadAndDecodeRange(t, p, 0), values[p]) << "t " << t << " p " << p;
    }
    EXPECT_EQ(ThrownText([&] { file->ReadAndDecodeRange(t, values.size(), 0); }),
              "invalid plot file: 9BA3D4B5");
  }
  const EncodedTable& last = plot.tables[kLastPlotTable];
  file->ReadTableBlocks(kLastPlotTable, 0, last.record.blockCount, 1);
  std::vector<uint64_t> decoded;
  for (uint64_t b = 0; b < last.record.blockCount; ++b) {
    uint64_t position = 0;
    const DecodedBlock block =
        file->ReadAndDecodeBlock(kLastPlotTable, b, position, false, false, 1);
    decoded.insert(decoded.end(), block.values, block.values + block.count);
  }
  EXPECT_EQ(decoded, last.values);
}

TEST_F(PlotReadTest, ReadsOfAFileThatChangedUnderneath) {
  const std::filesystem::path path = dir_ / "p.fpt";
  plot_->Write(path);
  TestOwner shared(1, 0);
  TestOwner own(1, 1);
  std::shared_ptr<PlotFile> a = OpenPlotFile(shared.owner, path, 0);
  std::shared_ptr<PlotFile> b = OpenPlotFile(own.owner, path, 0);
  const uint32_t n = plot_->header.tables[0].blockCount;

  std::filesystem::resize_file(path, 12288);
  const std::string readError = "Failed to read file: \"" + path.string() + "\"";
  EXPECT_EQ(ThrownText([&] { a->ReadTableBlocks(0, n - 2, n, 0); }), readError);
  EXPECT_EQ(shared.owner.slots[0].blocksRead, 0u);
  EXPECT_EQ(ThrownText([&] { b->ReadTableBlocks(0, n - 2, n, 0); }), readError);

  // The shared stream is opened afresh after a failure, so a restored file reads again.
  plot_->Write(path);
  a->ReadTableBlocks(0, n - 2, n, 0);
  EXPECT_EQ(shared.owner.slots[0].blocksRead, 2u);

  std::filesystem::remove(path);
  a->CloseSharedStream();
  const std::string openError = "Failed to open file: \"" + path.string() + "\"";
  EXPECT_EQ(ThrownText([&] { a->ReadTableBlocks(0, 0, 1, 0); }), openError);
  EXPECT_EQ(ThrownText([&] { b->ReadTableBlocks(0, 0, 1, 0); }), openError);
}

}  // namespace
