#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "manager/text_helpers.h"
#include "plotter/temp_file_header.h"
#include "plotter/file_names.h"
#include "runtime/text_utils.h"
#include "tests/manager/scan_test_support.h"
#include "tests/support/child_process.h"

TEST(DirectoryScan, FilesByHeaderAndName) {
  PlotHeader sparseDone = Plot(1), sparseOpen, finalOpen = Plot(1), wrapped = Plot(1);
  wrapped.start = {kPlotMagic, 1, {}, ~uint64_t{0} - 3, 0};  // offset + 8 wraps to 4
  sparseDone.sparse = 1;
  sparseOpen = sparseDone;
  sparseOpen.complete = finalOpen.complete = 0;
  TempFileHeader temp{};
  temp.start = {kTempMagic, 1, {}, sizeof(temp) - 8, 77};
  temp.link = 99;
  std::tie(temp.fileCount, temp.fileIndex, temp.saved, temp.level) = std::tuple(2, 1, 1, 3);
  const char plotStart[] = "VKCPPLOT and no more";
  const std::string hex = ToHexUpper(Plot(1).plotId), lower = ToHexLower(Plot(1).plotId, 32);
  const auto bytes = [](const auto& header) { return Bytes(&header, sizeof(header)); };
  // '@' stands for the path.
  const auto wrong = [](const std::string& what, const std::string& extension) {
    return "WARNING: Found " + what + " \"@\", it will be ignored, change extension to \"" +
           extension + "\" to use this file";
  };
  const std::string damaged = "WARNING: Found partially copied or damaged plot \"@\"";
  // clang-format off
  const ScannedFile sparseRecord{0, kClaimed, 1, 1, 1, 1, 1, 1, 2, 1, 1, 0, 0, sparseDone.link, std::to_array(sparseDone.plotId), 0, 1};
  const ScannedFile tempRecord{0, sizeof(temp), 2, 1, 1, 1, 1, 0, 3, 0, 0, 2, 1, 99, {}, 6, 0};
  struct Row { std::string name; std::vector<uint8_t> header; bool marker, recorded; Lines lines; const ScannedFile* record = nullptr; };
  const std::vector<Row> rows = {
      {"a.spt", bytes(sparseDone), true, true, {}, &sparseRecord},
      {"a.spt_part", bytes(sparseDone), true, false, {wrong("completed sparse plot with wrong extension", ".spt")}},
      {"a.dat", bytes(sparseDone), true, false, {wrong("sparse plot with strange extension", ".spt")}},
      {"a.spt", bytes(sparseOpen), true, true, {}},
      {"a.x", bytes(sparseOpen), true, false, {wrong("uncompleted sparse plot with strange extension", ".spt_part")}},
      {"a.fpt_part", bytes(Plot(1)), true, false, {wrong("completed final plot with wrong extension", ".fpt")}},
      {"a.bin", bytes(Plot(1)), true, false, {wrong("final plot with strange extension", ".fpt")}},
      {"a.fpt", bytes(finalOpen), true, true, {}},
      {"a.spt", bytes(finalOpen), true, false, {wrong("uncompleted final plot with wrong extension", ".fpt_part")}},
      {"a.fpt", bytes(wrapped), true, true, {damaged}},
      {"a.spt", Bytes(plotStart, 20), true, true, {damaged}},
      {"a.zip", Bytes(plotStart, 20), true, false, {"WARNING: Found partially copied or damaged plot with strange extension \"@\", it will be ignored"}},
      {TempFileName, bytes(temp), false, true, {"WARNING: Found partially copied or damaged temporary file \"@\""}},
      {"other.tmp", bytes(temp), true, false, {"WARNING: Found temporary file with strange name \"@\", it will be ignored, delete this file if it is not needed"}},
      {TempFileName, bytes(temp), true, true, {}, &tempRecord},
      {lower + ".fpt", bytes(Plot(1)), true, true, {"WARNING: Plot file name looks like hex \"@\" but does not match with embedded plot id \"" + hex + "\""}},
      {hex + ".fpt", bytes(Plot(1)), true, true, {}},
      {"tiny", Bytes(plotStart, 7), true, false, {"WARNING: Found 1 unrelated or corrupted file:", "\"@\""}},
  };
  // clang-format on
  for (const Row& row : rows) {
    TestDirectory dir;
    const fs::path path = dir / row.name;
    const uint64_t size = row.header.size(), claimed = size == sizeof(PlotHeader) ? kClaimed : size;
    WriteFixture(path, row.header.data(), size, claimed, row.marker);
    ScanClient client({Dir(dir.Path())});
    Lines expected = row.lines, lines = client.Scan();
    for (std::string& line : expected) {
      if (const size_t at = line.find('@'); at != std::string::npos)
        line.replace(at, 1, path.string());
    }
    // The warnings are all the scan prints before its directory summary.
    lines.erase(std::find(lines.begin(), lines.end(), "Directories summary:") - 1, lines.end());
    EXPECT_EQ(lines, expected) << row.name;
    EXPECT_EQ(client.scannedPaths_.size(), row.recorded) << row.name;
    EXPECT_TRUE(row.record == nullptr || client.Record(path) == *row.record) << row.name;
    EXPECT_EQ(client.Scan(), Lines{}) << "rescan " << row.name;
  }
}

TEST(DirectoryScan, MendedFaultsAndRescans) {
  DelegatedKeys keys;
  TestDirectory dir;
  const fs::path plots = dir / "plots", loop = dir / "loop";
  fs::create_directory(plots);
  fs::create_directory_symlink("plots", dir / "relative");
  fs::create_directory_symlink("loop", loop);

  // The same directory under another name is refused when the client is built.
  // clang-format off
  EXPECT_EQ(ThrownText([&] { ScanClient({Dir(plots), Dir(dir / "none"), Dir(dir / "relative")}); }),
            "Directory \"" + (dir / "relative").string() + "\" is the same directory as \"" + plots.string() + "\", specify each directory only once");
  // clang-format on

  // A relative link is followed from where it lies; a loop ends in a warning and, unreadable,
  // leaves its space unknown.
  ScanClient linked({Dir(dir / "relative"), Dir(loop)});
  linked.realSpace = true;
  const Lines lines = linked.Scan();
  EXPECT_EQ(
      lines[0].rfind(
          "WARNING: Failed to retrive free space of directory \"" + loop.string() + "\": ", 0),
      0u);
  EXPECT_EQ(lines[1], "ERROR: Failed to enumerate files in directory \"" + loop.string() + "\"");
  EXPECT_NE(linked.directoryStates_[0].FreeBytes, kUnknownFreeBytes);
  EXPECT_EQ(linked.directoryStates_[1].FreeBytes, kUnknownFreeBytes);

  // Ignored and undeletable files count against the limit; a limit never makes unknown space
  // known. Warnings repeat only when what they say changes.
  PlotHeader unopenable = Plot(3);
  unopenable.tables[0].entryCount = ~uint64_t{0};
  WritePlot(plots / "kept.fpt", unopenable);
  WritePlot(plots / "ignored.dat", Plot(1));
  WritePlot(plots / "stuck.spt", Plot(2));
  ScanClient limited({Dir(plots, 0, 1000 * kGiB)});
  limited.UndeletablePaths.insert(plots / "stuck.spt");
  limited.free[plots] = 2000 * kGiB;
  const Lines first = limited.Scan();
  const std::string openFailure = "WARNING: Failed to open plot \"" +
                                  (plots / "kept.fpt").string() + "\": invalid plot file: 5068A65E";
  EXPECT_NE(std::find(first.begin(), first.end(), openFailure), first.end());
  EXPECT_EQ(limited.directoryStates_[0].FreeBytes, 1000 * kGiB - 3 * kClaimed);
  const Lines noSpace = {"WARNING: Failed to retrive free space of directory \"" + plots.string() +
                         "\": no space figure"};
  // Rescans name only new plots, queue none for testing, and repeat the new-plot count only when
  // it grows.
  const std::string in = "\" included in mining", found = ", restart the client to view report";
  // clang-format off
  const std::vector<std::tuple<bool, std::string, Lines>> rescans = {{false, "", noSpace},
      {false, "second-plot-here.fpt", {"Plot \"" + (plots / "seco...here.fpt").string() + in, "Found 1 new plot" + found}},
      {true, "", {}}, {true, "", {}},
      {false, "third.fpt", {noSpace[0], "Plot \"" + (plots / "third.fpt").string() + in, "Found 2 new plots" + found}}};
  // clang-format on
  for (const auto& [known, plot, expected] : rescans) {
    limited.free.clear();
    if (known) limited.free[plots] = 2000 * kGiB;
    if (!plot.empty()) WritePlot(plots / plot, Plot(4 + plot.size(), 1, keys.given.data()));
    EXPECT_EQ(limited.Scan(), expected);
    EXPECT_EQ(limited.directoryStates_[0].FreeBytes == kUnknownFreeBytes, !known);
  }
  EXPECT_TRUE(limited.TestQueue.empty());
}

// A directory that cannot be read is no empty one, even when its free space is known.
TEST(DirectoryScan, UnreadableDirectoryLeavesSpaceUnknown) {
  TestDirectory dir;
  fs::permissions(dir.Path(), fs::perms::none);
  ChildProcess scan([&] {
    if (::geteuid() == 0 && ::setuid(65534) != 0) return;  // root reads any directory
    ScanClient client({Dir(dir.Path())});
    const Lines lines = client.Scan();
    Say(lines.front().c_str());
    Say(client.directoryStates_[0].FreeBytes == kUnknownFreeBytes ? "unknown" : "known");
  });
  EXPECT_EQ(scan.ReadLine(), "ERROR: Failed to enumerate files in directory \"" +
                                 dir.Path().string() + "\"");
  EXPECT_EQ(scan.ReadLine(), "unknown");
  fs::permissions(dir.Path(), fs::perms::owner_all);
}

TEST(TextHelpers, DurationsAndSuffixes) {
  const std::pair<uint64_t, const char*> durations[] = {{0, "0s"},          {59, "59s"},
                                                        {60, "1m 0s"},      {3600, "1h 0m 0s"},
                                                        {3725, "1h 2m 5s"}, {90061, "25h 1m 1s"}};
  for (const auto& [seconds, text] : durations) EXPECT_EQ(FormatDuration(seconds), text);
  EXPECT_TRUE(StringEndsWith("x.spt", ".spt") && !StringEndsWith("x.SPT", ".spt"));
}
