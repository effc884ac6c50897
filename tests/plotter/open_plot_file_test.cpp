#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "plotter/plot_file.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/thrown_text.h"

namespace {

std::string OpenError(TestOwner& owner, const std::filesystem::path& path) {
  return ThrownText<std::runtime_error>([&] { OpenPlotFile(owner.owner, path, 0); });
}

struct Case {
  const char* name;
  std::function<void(TestPlot&, std::vector<uint8_t>& file)> change;
  const char* expected;
  uint8_t maxLevel = 4;
};

// Header edits go through the plot so that the file bytes follow them.
void Rewrite(const TestPlot& plot, std::vector<uint8_t>& file) {
  std::memcpy(file.data(), &plot.header, sizeof(plot.header));
}

TEST(OpenPlotFile, EachCheckRefusesWithItsCodeInOrder) {
  TestDirectory dir;
  const TestPlot base = TestPlot::Make({1, 1, 1, 1, 1, 1});
  const uint64_t fileSize = base.FileBytes().size();
  auto header = [](std::function<void(PlotHeader&)> edit) {
    return [edit](TestPlot& plot, std::vector<uint8_t>& file) {
      edit(plot.header);
      Rewrite(plot, file);
    };
  };
  const std::vector<Case> cases = {
      {"intact", header([](PlotHeader&) {}), "no exception"},
      {"short", [](TestPlot&, std::vector<uint8_t>& f) { f.resize(10055); },
       "invalid plot file: BCACEF7C"},
      {"magic", header([](PlotHeader& h) { h.start.magic = kTempMagic; }),
       "invalid plot file: F5222A80"},
      {"magic before version", header([](PlotHeader& h) {
         h.start.magic ^= 1;
         h.start.version = 0;
       }),
       "invalid plot file: F5222A80"},
      {"version 0", header([](PlotHeader& h) { h.start.version = 0; }), "unsupported plot file"},
      {"version 2 before marker", header([](PlotHeader& h) {
         h.start.version = 2;
         h.start.markerValue ^= 1;
       }),
       "unsupported plot file"},
      {"marker past the end",
       header([fileSize](PlotHeader& h) { h.start.markerOffset = fileSize - 7; }),
       "invalid plot file: 9BC69782"},
      {"marker offset that wraps",
       header([](PlotHeader& h) { h.start.markerOffset = ~uint64_t{0} - 3; }),
       "invalid plot file: 9BC69782"},
      {"marker at the last 8 bytes", header([fileSize](PlotHeader& h) {
         h.start.markerOffset = fileSize - 8;
         h.start.markerValue = 0;
       }),
       "no exception"},
      {"marker mismatch before state", header([](PlotHeader& h) {
         h.start.markerValue += 1;
         h.complete = 0;
       }),
       "invalid plot file: 0AD4804F"},
      {"not complete", header([](PlotHeader& h) { h.complete = 0; }),
       "invalid plot file: 77BC8EBD"},
      {"not closed before level", header([](PlotHeader& h) {
         h.closed = 0;
         h.level = 9;
       }),
       "invalid plot file: 77BC8EBD"},
      {"sparse and complete opens", header([](PlotHeader& h) { h.sparse = 1; }), "no exception"},
      {"level 5", header([](PlotHeader& h) { h.level = 5; }), "invalid plot file: 2BCA2123"},
      {"level 5 over a low maximum", header([](PlotHeader& h) { h.level = 5; }),
       "invalid plot file: 2BCA2123", 1},
      {"level over the owner's maximum", header([](PlotHeader& h) { h.level = 2; }), "516AA948", 1},
      {"level at the owner's maximum", header([](PlotHeader& h) { h.level = 1; }), "no exception",
       1},
      {"coding table does not fill",
       header([](PlotHeader& h) { h.tables[3].coding.counts[0] += 1; }),
       "invalid plot file: FE896E3E"},
      {"raw bits 51", header([](PlotHeader& h) { h.tables[2].coding.rawBits = 51; }),
       "invalid plot file: FE896E3E"},
      // The decoder refuses above 50 first, so the limit of 56 is never the one that speaks.
      {"raw bits 57", header([](PlotHeader& h) { h.tables[2].coding.rawBits = 57; }),
       "invalid plot file: FE896E3E"},
      {"entry count 2^32 is allowed",
       header([](PlotHeader& h) { h.tables[0].entryCount = uint64_t{1} << 32; }), "no exception"},
      {"entry count over 2^32 before blocks", header([](PlotHeader& h) {
         h.tables[0].entryCount = (uint64_t{1} << 32) + 1;
         h.tables[0].blockCount = 0x80001;
       }),
       "invalid plot file: 5068A65E"},
      {"block count over 0x80000", header([](PlotHeader& h) { h.tables[4].blockCount = 0x80001; }),
       "invalid plot file: C132E4FC"},
      {"correction high below low", header([](PlotHeader& h) {
         h.tables[1].index.pairs[200] = {3, 2};
       }),
       "invalid plot file: 8A8A3F45"},
      {"correction high one below low", header([](PlotHeader& h) {
         h.tables[0].index.pairs[9] = {2, 1};
       }),
       "invalid plot file: 8A8A3F45"},
      {"the encoder's untouched pair opens",
       header([](PlotHeader& h) { h.tables[0].index.pairs[9] = kUntouchedPair; }), "no exception"},
      {"correction span 1025", header([](PlotHeader& h) {
         h.tables[1].index.pairs[7] = {-1000, 25};
       }),
       "invalid plot file: 2DDC6CFA"},
      {"correction span 1024", header([](PlotHeader& h) {
         h.tables[1].index.pairs[7] = {-1000, 24};
       }),
       "no exception"},
      {"earlier table first", header([](PlotHeader& h) {
         h.tables[1].index.pairs[7] = {5, 4};
         h.tables[2].coding.rawBits = 60;
       }),
       "invalid plot file: 8A8A3F45"},
      {"table past the end of the file",
       header([fileSize](PlotHeader& h) { h.tables[2].offset = fileSize - 65535; }),
       "invalid plot file: 01CD4328"},
      {"table offset that wraps",
       header([](PlotHeader& h) { h.tables[5].offset = ~uint64_t{0} - 65535; }),
       "invalid plot file: 01CD4328"},
      {"every other check before the table bounds", header([fileSize](PlotHeader& h) {
         h.tables[0].offset = fileSize;
         h.tables[0].blockCount = 1;
         h.tables[3].blockCount = 0x80001;
       }),
       "invalid plot file: C132E4FC"},
      {"the width check before the table bounds", header([fileSize](PlotHeader& h) {
         h.tables[5].offset = fileSize;
         h.tables[1].coding.rawBits = 6;
       }),
       "invalid plot file: CFA9F4D6"},
      {"an empty table at the end of the file", header([fileSize](PlotHeader& h) {
         h.tables[1].offset = fileSize;
         h.tables[1].blockCount = 0;
       }),
       "no exception"},
      {"table 4 empty, table 5 not", header([](PlotHeader& h) {
         h.tables[4].entryCount = 0;
         h.tables[0].coding.rawBits = 6;
       }),
       "invalid plot file: 5608A623"},
      {"raw bits 6 makes parks too wide",
       header([](PlotHeader& h) { h.tables[0].coding.rawBits = 6; }),
       "invalid plot file: CFA9F4D6"},
      {"raw bits 7 is the narrowest allowed",
       header([](PlotHeader& h) { h.tables[0].coding.rawBits = 7; }), "no exception"},
      {"every table check before the width", header([](PlotHeader& h) {
         h.tables[0].coding.rawBits = 6;
         h.tables[5].blockCount = 0x90000;
       }),
       "invalid plot file: C132E4FC"},
  };

  int n = 0;
  for (const Case& c : cases) {
    TestPlot plot = base;
    std::vector<uint8_t> file = base.FileBytes();
    c.change(plot, file);
    const std::filesystem::path path = dir / ("plot-" + std::to_string(n++));
    WriteWholeFile(path, file);
    TestOwner owner;
    owner.owner.maxLevel = c.maxLevel;
    EXPECT_EQ(OpenError(owner, path), c.expected) << c.name;
    // A refusal lists nothing.
    EXPECT_EQ(owner.owner.plots.size(), std::string(c.expected) == "no exception" ? 1u : 0u)
        << c.name;
  }

  TestOwner owner;
  const std::filesystem::path missing = dir / "missing.fpt";
  EXPECT_EQ(OpenError(owner, missing), "Failed to open file: \"" + missing.string() + "\"");
  EXPECT_TRUE(owner.owner.plots.empty());
}

TEST(OpenPlotFile, OneObjectPerPathAndTheDeviceWarning) {
  TestDirectory dir;
  const TestPlot plot = TestPlot::Make({1, 1, 1, 1, 1, 1});
  plot.Write(dir / "a.fpt");
  plot.Write(dir / "b.fpt");
  TestOwner owner;

  std::shared_ptr<PlotFile> a = OpenPlotFile(owner.owner, dir / "a.fpt", 3);
  EXPECT_EQ(a->deviceIndex, 3u);
  EXPECT_EQ(a->owner, &owner.owner);
  EXPECT_FALSE(a->stream.is_open());  // opened lazily by the first shared read
  EXPECT_EQ(std::memcmp(&a->header, &plot.header, sizeof(PlotHeader)), 0);
  EXPECT_EQ(a->liveJobCount, 0u);
  EXPECT_EQ(a->embedPending, 0);
  EXPECT_EQ(a->failedProofCount.load(), 0u);

  EXPECT_EQ(OpenPlotFile(owner.owner, dir / "a.fpt", 3), a);
  // Paths compare by components: a doubled separator names the same plot.
  EXPECT_EQ(OpenPlotFile(owner.owner, (dir / "").string() + "/a.fpt", 3), a);
  EXPECT_TRUE(owner.messages.empty());
  EXPECT_EQ(OpenPlotFile(owner.owner, dir / "a.fpt", 4), a);
  EXPECT_EQ(OpenPlotFile(owner.owner, dir / "a.fpt", 5), a);
  EXPECT_EQ(owner.messages, (std::vector<std::string>{"WARNING: CF761795", "WARNING: CF761795"}));
  EXPECT_EQ(a->deviceIndex, 3u);

  std::shared_ptr<PlotFile> b = OpenPlotFile(owner.owner, dir / "b.fpt", 3);
  EXPECT_NE(a, b);
  EXPECT_EQ(owner.owner.plots.size(), 2u);

  // Once released the plot closes; the next open reads and checks the file again.
  a.reset();
  std::vector<uint8_t> file = plot.FileBytes();
  file[34] = 0;
  WriteWholeFile(dir / "a.fpt", file);
  EXPECT_EQ(OpenError(owner, dir / "a.fpt"), "invalid plot file: 77BC8EBD");
  // The expired entry was dropped on the way.
  EXPECT_EQ(owner.owner.plots.size(), 1u);
  plot.Write(dir / "a.fpt");
  std::shared_ptr<PlotFile> again = OpenPlotFile(owner.owner, dir / "a.fpt", 9);
  EXPECT_EQ(again->deviceIndex, 9u);

  // An owner without a message callback cannot be warned.
  owner.owner.messageCallback = nullptr;
  EXPECT_THROW(OpenPlotFile(owner.owner, dir / "b.fpt", 1), std::bad_function_call);
}

}  // namespace
