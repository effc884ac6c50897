#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "manager/text_helpers.h"
#include "plotter/temp_file_header.h"
#include "runtime/file_names.h"
#include "runtime/text_utils.h"
#include "tests/manager/scan_test_support.h"

namespace {

// The lines a scan printed before its directory summary.
std::vector<std::string> BeforeSummary(std::vector<std::string> lines) {
  lines.erase(std::find(lines.begin(), lines.end(), "Directories summary:") - 1, lines.end());
  return lines;
}

std::string Replaced(std::string text, const std::string& path) {
  const size_t at = text.find('@');
  return at == std::string::npos ? text : text.replace(at, 1, path);
}

}  // namespace

TEST(DirectoryScan, FilesByHeaderAndName) {
  PlotHeader sparseDone = Plot(1), sparseOpen, finalOpen = Plot(1);
  sparseDone.sparse = 1;
  sparseOpen = sparseDone;
  sparseOpen.complete = finalOpen.complete = 0;
  TempFileHeader temp{};
  temp.start = {kTempMagic, 1, {}, sizeof(temp) - 8, 77};
  temp.fileCount = 2;
  temp.fileIndex = 1;
  temp.saved = 1;
  temp.level = 3;
  temp.link = 99;
  const char plotStart[] = "VKCPPLOT and no more";
  std::string hex = ToHexUpper(Plot(1).plotId), lower = hex;
  std::transform(hex.begin(), hex.end(), lower.begin(), [](char c) { return std::tolower(c); });
  const auto bytes = [](const auto& header) { return Bytes(&header, sizeof(header)); };
  const std::string change = "\", it will be ignored, change extension to \"";

  struct Row {
    std::string name;
    std::vector<uint8_t> header;
    bool marker;
    std::vector<std::string> lines;  // '@' stands for the path
    bool recorded;
  };
  const std::vector<Row> rows = {
      {"a.spt", bytes(sparseDone), true, {}, true},
      {"a.spt_part",
       bytes(sparseDone),
       true,
       {"WARNING: Found completed sparse plot with wrong extension \"@" + change +
        ".spt\" to use this file"},
       false},
      {"a.dat",
       bytes(sparseDone),
       true,
       {"WARNING: Found sparse plot with strange extension \"@" + change +
        ".spt\" to use this file"},
       false},
      {"a.spt", bytes(sparseOpen), true, {}, true},
      {"a.x",
       bytes(sparseOpen),
       true,
       {"WARNING: Found uncompleted sparse plot with strange extension \"@" + change +
        ".spt_part\" to use this file"},
       false},
      {"a.fpt_part",
       bytes(Plot(1)),
       true,
       {"WARNING: Found completed final plot with wrong extension \"@" + change +
        ".fpt\" to use this file"},
       false},
      {"a.bin",
       bytes(Plot(1)),
       true,
       {"WARNING: Found final plot with strange extension \"@" + change +
        ".fpt\" to use this file"},
       false},
      {"a.fpt", bytes(finalOpen), true, {}, true},
      {"a.spt",
       bytes(finalOpen),
       true,
       {"WARNING: Found uncompleted final plot with wrong extension \"@" + change +
        ".fpt_part\" to use this file"},
       false},
      {"a.fpt",
       bytes(Plot(1)),
       false,
       {"WARNING: Found partially copied or damaged plot \"@\""},
       true},
      {"a.spt",
       Bytes(plotStart, 20),
       true,
       {"WARNING: Found partially copied or damaged plot \"@\""},
       true},
      {"a.zip",
       Bytes(plotStart, 20),
       true,
       {"WARNING: Found partially copied or damaged plot with strange extension \"@\", it will be "
        "ignored"},
       false},
      {"VarnokChiaPool.tmp",
       bytes(temp),
       false,
       {"WARNING: Found partially copied or damaged temporary file \"@\""},
       true},
      {"other.tmp",
       bytes(temp),
       true,
       {"WARNING: Found temporary file with strange name \"@\", it will be ignored, delete this "
        "file if it is not needed"},
       false},
      {"VarnokChiaPool.tmp", bytes(temp), true, {}, true},
      {lower + ".fpt",
       bytes(Plot(1)),
       true,
       {"WARNING: Plot file name looks like hex \"@\" but does not match with embedded plot id \"" +
        hex + "\""},
       true},
      {hex + ".fpt", bytes(Plot(1)), true, {}, true},
      {"tiny",
       Bytes(plotStart, 7),
       true,
       {"WARNING: Found 1 unrelated or corrupted file:", "\"@\""},
       false},
  };
  for (const Row& row : rows) {
    TestDirectory dir;
    const std::filesystem::path path = dir / row.name;
    WriteFixture(path, row.header.data(), row.header.size(),
                 row.header.size() == sizeof(PlotHeader) ? kClaimed : row.header.size(),
                 row.marker);
    ScanClient client({Dir(dir.Path())});
    client.free[dir.Path()] = kGiB;
    std::vector<std::string> expected;
    for (const std::string& line : row.lines) expected.push_back(Replaced(line, path.string()));
    EXPECT_EQ(BeforeSummary(client.Scan()), expected) << row.name;
    EXPECT_EQ(client.ScannedPaths.size(), row.recorded) << row.name;
    EXPECT_EQ(client.Scan(), std::vector<std::string>{}) << "rescan " << row.name;
  }

  TestDirectory dir;
  WritePlot(dir / "s.spt", sparseDone);
  WriteFixture(dir / TempFileName, &temp, sizeof(temp), sizeof(temp));
  ScanClient client({Dir(dir.Path())});
  client.free[dir.Path()] = kGiB;
  client.Scan();
  EXPECT_EQ(client.Record(dir / "s.spt"),
            (ScannedFile{0, kClaimed, 1, 1, 1, 1, 1, 1, 0, 1, 1, 0, 0, sparseDone.link,
                         std::to_array(sparseDone.plotId), 0, 1}));
  EXPECT_EQ(
      client.Record(dir / TempFileName),
      (ScannedFile{0, sizeof(temp), 2, 1, 1, 1, 1, 0, 3, 0, 0, 2, 1, 99, {}, kNoKeyStatus, 0}));
}

TEST(DirectoryScan, RescanReportsOnlyNewPlots) {
  DelegatedKeys keys;
  TestDirectory dir;
  ScanClient client({Dir(dir.Path())});
  client.free[dir.Path()] = kGiB;
  client.Scan();
  const auto included = [&](const char* name) {
    return "Plot \"" + PathStem(dir / name) + "\" included in mining";
  };
  WritePlot(dir / "first-of-the-new.fpt", Plot(1));
  EXPECT_EQ(client.Scan(),
            (std::vector<std::string>{included("first-of-the-new.fpt"),
                                      "Found 1 new plot, restart the client to view report"}));
  EXPECT_EQ(client.Scan(), std::vector<std::string>{});
  WritePlot(dir / "second.fpt", Plot(2, 1, keys.given.data()));
  EXPECT_EQ(client.Scan(),
            (std::vector<std::string>{included("second.fpt"),
                                      "Found 2 new plots, restart the client to view report"}));
  EXPECT_EQ(client.MinedPlots.size(), 2u);
  EXPECT_TRUE(client.TestQueue.empty());
}

TEST(DirectoryScan, MendedFaults) {
  TestDirectory dir;
  const std::filesystem::path plots = dir / "plots", loop = dir / "loop";
  std::filesystem::create_directory(plots);
  std::filesystem::create_directory_symlink("plots", dir / "relative");
  std::filesystem::create_directory_symlink("loop", loop);

  // The same directory under another name is refused when the client is built.
  EXPECT_EQ(ThrownText([&] {
              ScanClient({Dir(plots), Dir(dir / "none"), Dir(dir / "relative")});
            }),
            "Directory \"" + (dir / "relative").string() + "\" is the same directory as \"" +
                plots.string() + "\", specify each directory only once");

  // A relative link is followed from where it lies; a loop ends in a warning and, unreadable,
  // leaves no space to plan with.
  ScanClient linked({Dir(dir / "relative"), Dir(loop)});
  linked.realSpace = true;
  const std::vector<std::string> lines = linked.Scan();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(
      lines[0].rfind(
          "WARNING: Failed to retrive free space of directory \"" + loop.string() + "\": ", 0),
      0u);
  EXPECT_EQ(lines[1], "ERROR: Failed to enumerate files in directory \"" + loop.string() + "\"");
  EXPECT_NE(linked.DirectoryStates[0].FreeBytes, kUnknownFreeBytes);
  EXPECT_EQ(linked.DirectoryStates[1].FreeBytes, 0u);

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
  const std::vector<std::string> first = limited.Scan();
  const std::string openFailure = "WARNING: Failed to open plot \"" +
                                  (plots / "kept.fpt").string() + "\": invalid plot file: 5068A65E";
  EXPECT_NE(std::find(first.begin(), first.end(), openFailure), first.end());
  EXPECT_EQ(limited.DirectoryStates[0].FreeBytes, 1000 * kGiB - 3 * kClaimed);
  limited.free.clear();
  const std::string noSpace = "WARNING: Failed to retrive free space of directory \"" +
                              plots.string() + "\": no space figure";
  EXPECT_EQ(limited.Scan(), std::vector<std::string>{noSpace});
  EXPECT_EQ(limited.DirectoryStates[0].FreeBytes, kUnknownFreeBytes);
  EXPECT_EQ(limited.Scan(), std::vector<std::string>{});
  limited.free[plots] = 2000 * kGiB;
  EXPECT_EQ(limited.Scan(), std::vector<std::string>{});
  limited.free.clear();
  EXPECT_EQ(limited.Scan(), std::vector<std::string>{noSpace});
}
