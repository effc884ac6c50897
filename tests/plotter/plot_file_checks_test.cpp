#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "plotter/plot_file_checks.h"
#include "plotter/plot_header.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/thrown_text.h"

namespace {

struct Answers {
  bool sparse;
  bool final;
  bool unfinished;
};

// A header with no tables: the checks look at the header only.
PlotHeader CompleteHeader(uint8_t sparse) {
  PlotHeader h{};
  h.start.magic = kPlotMagic;
  h.start.version = 1;
  h.start.markerOffset = 10056;
  h.start.markerValue = 99;
  h.sparse = sparse;
  h.complete = 1;
  h.closed = 1;
  h.level = 4;
  h.creationTime = 1;
  return h;
}

std::vector<uint8_t> HeaderFile(const PlotHeader& h, uint64_t size = 12288) {
  std::vector<uint8_t> bytes(size, 0);
  std::memcpy(bytes.data(), &h, std::min<uint64_t>(size, sizeof(h)));
  return bytes;
}

Answers Ask(const std::filesystem::path& path) {
  return {IsSparsePlotFile(path.string()), IsFinalPlotFile(path.string()),
          IsUnfinishedPlotOrTemp(path.string())};
}

void ExpectAnswers(const TestDirectory& dir, const std::string& name,
                   const std::vector<uint8_t>& bytes, Answers expected) {
  const std::filesystem::path path = dir / name;
  WriteWholeFile(path, bytes);
  const Answers got = Ask(path);
  EXPECT_EQ(got.sparse, expected.sparse) << name;
  EXPECT_EQ(got.final, expected.final) << name;
  EXPECT_EQ(got.unfinished, expected.unfinished) << name;
}

TEST(PlotFileChecks, TruthTableOverCraftedFiles) {
  TestDirectory dir;
  const PlotHeader sparse = CompleteHeader(1);
  const PlotHeader final = CompleteHeader(0);

  ExpectAnswers(dir, "sparse", HeaderFile(sparse), {true, false, false});
  ExpectAnswers(dir, "final", HeaderFile(final), {false, true, false});
  // Exactly the header is enough; the marker is not looked at.
  ExpectAnswers(dir, "sparse-exact", HeaderFile(sparse, 10056), {true, false, false});
  ExpectAnswers(dir, "sparse-short", HeaderFile(sparse, 10055), {false, false, false});
  ExpectAnswers(dir, "final-short", HeaderFile(final, 10055), {false, false, false});

  std::vector<uint8_t> temp(8, 0);
  std::memcpy(temp.data(), "VKCPTEMP", 8);
  ExpectAnswers(dir, "temp-8-bytes", temp, {false, false, true});
  ExpectAnswers(dir, "seven-bytes", std::vector<uint8_t>(temp.begin(), temp.begin() + 7),
                {false, false, false});
  ExpectAnswers(dir, "empty", {}, {false, false, false});

  PlotHeader h = sparse;
  h.start.magic = kTempMagic + 1;
  ExpectAnswers(dir, "wrong-magic", HeaderFile(h), {false, false, false});

  h = final;
  h.start.version = 0;
  ExpectAnswers(dir, "final-version-0", HeaderFile(h), {false, false, false});
  h.closed = 0;
  ExpectAnswers(dir, "open-version-0", HeaderFile(h), {false, false, true});
  h.start.version = 2;
  ExpectAnswers(dir, "open-version-2", HeaderFile(h), {false, false, false});

  h = sparse;
  h.creationTime = 0;
  ExpectAnswers(dir, "sparse-no-time", HeaderFile(h), {false, false, false});
  h.closed = 0;
  ExpectAnswers(dir, "open-no-time", HeaderFile(h), {false, false, false});

  h = sparse;
  h.level = 5;
  ExpectAnswers(dir, "sparse-level-5", HeaderFile(h), {false, false, false});
  h = final;
  h.level = 5;
  ExpectAnswers(dir, "final-level-5", HeaderFile(h), {false, false, false});

  // Cleanly saved plots (complete 0, closed 1) and plots being written (closed 0).
  h = sparse;
  h.complete = 0;
  ExpectAnswers(dir, "sparse-saved", HeaderFile(h), {false, false, true});
  h = final;
  h.complete = 0;
  ExpectAnswers(dir, "final-saved", HeaderFile(h), {false, false, true});
  h = sparse;
  h.closed = 0;
  ExpectAnswers(dir, "sparse-open", HeaderFile(h), {false, false, true});
  h = final;
  h.closed = 0;
  h.complete = 0;
  ExpectAnswers(dir, "final-open", HeaderFile(h), {false, false, true});
  // The unfinished check needs a whole header for a plot magic.
  ExpectAnswers(dir, "final-open-short", HeaderFile(h, 10055), {false, false, false});

  // Any non-zero state byte counts as set.
  h = sparse;
  h.sparse = 7;
  h.complete = 9;
  h.closed = 200;
  ExpectAnswers(dir, "sparse-bytes-7-9-200", HeaderFile(h), {true, false, false});

  // A marker that does not match changes nothing here.
  const TestPlot plot = TestPlot::Make({1, 1, 1, 1, 1, 1});
  std::vector<uint8_t> bytes = plot.FileBytes();
  bytes[plot.header.start.markerOffset] ^= 1;
  ExpectAnswers(dir, "final-bad-marker", bytes, {false, true, false});
}

TEST(PlotFileChecks, UnreadableFilesRaiseWithThePath) {
  TestDirectory dir;
  const std::string missing = (dir / "missing.fpt").string();
  for (const auto& check : std::vector<std::function<bool(const std::string&)>>{
           IsSparsePlotFile, IsFinalPlotFile, IsUnfinishedPlotOrTemp}) {
    const std::string text = ThrownText([&] { check(missing); });
    const std::string prefix = "Failed to open or read file \"" + missing + "\": ";
    EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
    EXPECT_GT(text.size(), prefix.size());
  }
}

}  // namespace
