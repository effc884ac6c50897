#include <gtest/gtest.h>

#include "chia/chia_address.h"
#include "runtime/text_utils.h"
#include "tests/manager/scan_test_support.h"

namespace {

std::string Quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }
std::string Short(const uint8_t* key) { return EncodeKeyBech32m(key).substr(0, 18) + "..."; }

}  // namespace

TEST(DirectoryScan, KeyStatusAdmissionQueueAndReport) {
  DelegatedKeys keys;
  TestDirectory dir;
  PlotHeader completed = Plot(5, 1, keys.given.data());
  DefaultPlotKeyProvider()->DeriveKeys(completed.plotId, completed.keyBlock);
  PlotHeader broken = Plot(7, 1, keys.other.data());
  broken.plotId[0] ^= 1;
  const std::vector<std::pair<std::string, PlotHeader>> plots = {
      {"own.fpt", Plot(1)},
      {"done.fpt", completed},
      {"other.fpt", Plot(2, 1, keys.other.data())},
      {"minus.fpt", Plot(3, 1, keys.minus())},
      {"given.fpt", Plot(4, 1, keys.given.data())},
      {"odd.fpt", Plot(6, 9)},
      {"broken.fpt", broken}};
  for (const auto& [name, header] : plots) WritePlot(dir / name, header);
  ScanClient client({Dir(dir.Path())});
  client.free[dir.Path()] = kGiB;
  const std::vector<std::string> lines = client.Scan();

  for (uint32_t code = 0; code < plots.size(); ++code) {
    EXPECT_EQ(client.Record(dir / plots[code].first).KeyStatus, code) << plots[code].first;
  }
  EXPECT_EQ(client.MinedPaths(), (std::set<std::filesystem::path>{
                                     dir / "done.fpt", dir / "given.fpt", dir / "own.fpt"}));
  for (const auto& plot : client.MinedPlots) {
    const bool derived = plot->path == dir / "given.fpt";  // completed in memory, to be embedded
    EXPECT_EQ(plot->embedPending, derived);
    EXPECT_EQ(plot->header.keyBlock[0], plot->path == dir / "own.fpt" ? 0 : 2);
  }
  ASSERT_EQ(client.TestQueue.size(), 1u);
  EXPECT_EQ(client.TestQueue[0].Path, dir / "given.fpt");

  // Groups and password keys print in the order of their key texts.
  std::map<std::string, std::string> groups = {
      {EncodeKeyBech32m(keys.given.data()),
       "2 plots (1 untested, CL1) with public key " + Short(keys.given.data())},
      {EncodeKeyBech32m(keys.other.data()),
       "!!!password needed!!! 1 plot (1 untested, CL1) with public key " +
           Short(keys.other.data())},
      {EncodeKeyBech32m(keys.minus()),
       "!!!password needed!!! 1 plot (1 untested, CL1) with public key " + Short(keys.minus())}};
  std::vector<std::string> expected = {"ERROR: Invalid plot keys in " + Quoted(dir / "broken.fpt") +
                                           ": Plot keys are inconsistent with plot id (2)",
                                       "WARNING: Found 1 plot with unsupported keys:",
                                       Quoted(dir / "odd.fpt"),
                                       "",
                                       "Directories summary:",
                                       "",
                                       "--- " + Quoted(dir.Path()) + " ---",
                                       "2 plots (CL1) without public key"};
  for (const auto& [text, line] : groups) expected.push_back(line);
  expected.insert(expected.end(),
                  {"(1.00 GiB available)", "", "Total plots: 6", "Mineable plots: 3", "",
                   "!!!WARNING!!!", "", "Password needed for the following public keys:"});
  for (const auto& [text, line] : groups) {
    if (line[0] == '!') expected.push_back(text);
  }
  expected.insert(expected.end(), {"", "2 plots can not be used until password is specified", ""});
  EXPECT_EQ(lines, expected);
}

TEST(DirectoryScan, ReportOfSeveralDirectories) {
  DelegatedKeys keys;
  TestDirectory a, b;
  const std::filesystem::path missing = a / "missing";
  PlotHeader sparse = Plot(2);
  sparse.sparse = 1;
  sparse.level = 2;
  PlotHeader version2 = Plot(4);
  version2.start.version = 2;
  WritePlot(a / "p1.fpt", Plot(1));
  WritePlot(a / "p2.spt", sparse);
  WriteFixture(a / "junk.txt", "unrelated", 9);
  WritePlot(b / "dup.fpt", Plot(1));
  WritePlot(b / "nokeys.fpt", Plot(3, -1));
  WritePlot(b / "v2.fpt", version2);
  WritePlot(b / "given.fpt", Plot(5, 1, keys.given.data()));
  ScanClient client({Dir(a.Path()), Dir(b.Path(), 1), Dir(missing)});
  client.free[a.Path()] = 3 * kGiB / 2;

  const std::string noSpace = "WARNING: Failed to retrive free space of directory ";
  const std::vector<std::string> expected = {
      noSpace + Quoted(b.Path()) + ": no space figure",
      noSpace + Quoted(missing) + ": no space figure",
      "ERROR: Failed to enumerate files in directory " + Quoted(missing),
      "WARNING: Found multiple plots with same plot id \"" + ToHexUpper(Plot(1).plotId) + "\":",
      Quoted(a / "p1.fpt"),
      Quoted(b / "dup.fpt"),
      "WARNING: Found 1 unrelated or corrupted file:",
      Quoted(a / "junk.txt"),
      "WARNING: Found 1 plot without keys:",
      Quoted(b / "nokeys.fpt"),
      "WARNING: Found 1 file with unsupported version:",
      Quoted(b / "v2.fpt"),
      "WARNING: Found 1 plot applicable for testing but containing directory is specified as "
      "readonly",
      "",
      "Directories summary:",
      "",
      "--- " + Quoted(a.Path()) + " ---",
      "2 plots (1 sparse, 1CL1, 1CL3) without public key",
      "(1.50 GiB available)",
      "",
      "--- " + Quoted(b.Path()) + " ---",
      "1 plot (CL1) without any key",
      "1 plot (CL1) without public key",
      "1 plot (1 untested, CL1) with public key " + Short(keys.given.data()),
      "(??? GiB available)",
      "",
      "--- " + Quoted(missing) + " ---",
      "(0.00 GiB available)",
      "",
      "Total plots: 5",
      "Mineable plots: 3",
      ""};
  EXPECT_EQ(client.Scan(), expected);
  // A read-only directory's plots are not queued for testing, yet still mined; a second copy of
  // a mined plot is not opened again.
  EXPECT_TRUE(client.TestQueue.empty());
  EXPECT_EQ(client.MinedPaths(),
            (std::set<std::filesystem::path>{a / "p1.fpt", a / "p2.spt", b / "given.fpt"}));

  ScanClient none({});
  EXPECT_EQ(none.Scan(), (std::vector<std::string>{"", "Directories summary:", "", "Total plots: 0",
                                                   "Mineable plots: 0", ""}));
}
