#include <gtest/gtest.h>

#include "chia/chia_address.h"
#include "runtime/text_utils.h"
#include "tests/manager/scan_test_support.h"

static std::string Quoted(const fs::path& path) {
  return std::string("\"").append(path.string()).append("\"");
}
static std::string Short(const uint8_t* key) { return EncodeKeyBech32m(key).substr(0, 18) + "..."; }

TEST(DirectoryScan, KeyStatusAdmissionQueueAndReport) {
  DelegatedKeys keys;
  TestDirectory dir;
  PlotHeader completed = Plot(5, 1, keys.given.data()), broken = Plot(7, 1, keys.other.data());
  DefaultPlotKeyProvider()->DeriveKeys(completed.plotId, completed.keyBlock);
  broken.plotId[0] ^= 1;
  // In the order of the key status each gets.
  // clang-format off
  const std::vector<std::pair<std::string, PlotHeader>> plots = {{"own.fpt", Plot(1)}, {"done.fpt", completed},
      {"other.fpt", Plot(2, 1, keys.other.data())}, {"minus.fpt", Plot(3, 1, keys.minus)},
      {"given.fpt", Plot(4, 1, keys.given.data())}, {"odd.fpt", Plot(6, 9)}, {"broken.fpt", broken}};
  // clang-format on
  for (const auto& [name, header] : plots) WritePlot(dir / name, header);
  ScanClient client({Dir(dir.Path())});
  const Lines lines = client.Scan();

  // clang-format off
  for (uint32_t code = 0; code < plots.size(); ++code) EXPECT_EQ(client.Record(dir / plots[code].first).KeyStatus, code);
  // Own, completed and completable keys are mined; only the last were completed here.
  std::map<fs::path, std::pair<int, int>> mined;  // embed pending, record kind
  for (const auto& p : client.MinedPlots) mined[p->path] = {p->embedPending, p->header.keyBlock[0]};
  EXPECT_EQ(mined, (decltype(mined){{dir / "own.fpt", {0, 0}}, {dir / "done.fpt", {0, 2}}, {dir / "given.fpt", {1, 2}}}));
  EXPECT_EQ(client.TestQueue.size() == 1 ? client.TestQueue[0].path : fs::path(), dir / "given.fpt");
  // clang-format on

  // Groups and password keys print in the order of their key texts.
  // clang-format off
  const std::string untested = "1 plot (1 untested, CL3) with public key ", needed = "!!!password needed!!! ";
  std::map<std::string, std::string> groups = {
      {EncodeKeyBech32m(keys.given.data()), "2 plots (1 untested, CL3) with public key " + Short(keys.given.data())},
      {EncodeKeyBech32m(keys.other.data()), needed + untested + Short(keys.other.data())},
      {EncodeKeyBech32m(keys.minus), needed + untested + Short(keys.minus)}};
  Lines expected = {
      "ERROR: Invalid plot keys in " + Quoted(dir / "broken.fpt") + ": Plot keys are inconsistent with plot id (2)",
      "WARNING: Found 1 plot with unsupported keys:", Quoted(dir / "odd.fpt"), "", "Directories summary:",
      "", "--- " + Quoted(dir.Path()) + " ---", "2 plots (CL3) without public key"};
  for (const auto& [text, line] : groups) expected.push_back(line);
  expected.insert(expected.end(), {"(1.00 GiB available)", "", "Total plots: 6", "Mineable plots: 3", "",
      "!!!WARNING!!!", "", "Password needed for the following public keys:"});
  for (const auto& [text, line] : groups) if (line[0] == '!') expected.push_back(text);
  expected.insert(expected.end(), {"", "2 plots can not be used until password is specified", ""});
  // clang-format on
  EXPECT_EQ(lines, expected);
}

TEST(DirectoryScan, ReportOfSeveralDirectories) {
  DelegatedKeys keys;
  TestDirectory a, b;
  const fs::path missing = a / "missing";
  PlotHeader sparse = Plot(2), version2 = Plot(4);
  sparse.sparse = 1;
  sparse.level = 0;
  version2.start.version = 2;
  // clang-format off
  const std::vector<std::pair<fs::path, PlotHeader>> plots = {{a / "p1.fpt", Plot(1)}, {a / "p2.spt", sparse},
      {b / "dup.fpt", Plot(1)}, {b / "nokeys.fpt", Plot(3, -1)}, {b / "v2.fpt", version2},
      {b / "given.fpt", Plot(5, 1, keys.given.data())}};
  // clang-format on
  for (const auto& [path, header] : plots) WritePlot(path, header);
  WriteFixture(a / "junk.txt", "unrelated", 9);
  ScanClient client({Dir(a.Path()), Dir(b.Path(), 1), Dir(missing)});
  client.free = {{a.Path(), 3 * kGiB / 2}};

  // clang-format off
  EXPECT_EQ(client.Scan(), (Lines{"WARNING: Failed to retrive free space of directory " + Quoted(b.Path()) + ": no space figure",
      "WARNING: Failed to retrive free space of directory " + Quoted(missing) + ": no space figure",
      "ERROR: Failed to enumerate files in directory " + Quoted(missing),
      "WARNING: Found multiple plots with same plot id \"" + ToHexUpper(Plot(1).plotId) + "\":",
      Quoted(a / "p1.fpt"), Quoted(b / "dup.fpt"),
      "WARNING: Found 1 unrelated or corrupted file:", Quoted(a / "junk.txt"),
      "WARNING: Found 1 plot without keys:", Quoted(b / "nokeys.fpt"),
      "WARNING: Found 1 file with unsupported version:", Quoted(b / "v2.fpt"),
      "WARNING: Found 1 plot applicable for testing but containing directory is specified as readonly",
      "", "Directories summary:",
      "", "--- " + Quoted(a.Path()) + " ---", "2 plots (1 sparse, 1CL1, 1CL3) without public key", "(1.50 GiB available)",
      "", "--- " + Quoted(b.Path()) + " ---", "1 plot (CL3) without any key", "1 plot (CL3) without public key",
      "1 plot (1 untested, CL3) with public key " + Short(keys.given.data()), "(??? GiB available)",
      "", "--- " + Quoted(missing) + " ---", "(??? GiB available)",
      "", "Total plots: 5", "Mineable plots: 3", ""}));
  // clang-format on
  // A read-only directory's plots are not queued for testing, yet mined; a second copy of a mined
  // plot is not opened again.
  EXPECT_TRUE(client.TestQueue.empty());
  EXPECT_EQ(client.MinedPlots.size(), 3u);
  EXPECT_EQ(ScanClient({}).Scan(),
            (Lines{"", "Directories summary:", "", "Total plots: 0", "Mineable plots: 0", ""}));
}
