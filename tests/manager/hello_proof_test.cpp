#include <gtest/gtest.h>

#include "tests/manager/scan_test_support.h"
#include "tests/prover/planted_plot_support.h"
#include "tests/support/scratch_directory.h"

namespace {

struct HelloClient : ScanClient {
  using ScanClient::ScanClient;
  // Admits the planted plot to mining as the scan would, minus the key check.
  std::shared_ptr<PlotFile> Admit(const PlantedPlot& planted, const fs::path& path) {
    planted.plot.Write(path);
    MinedPlots.push_back(OpenPlotFile(*Engine, path, 0));
    return MinedPlots.back();
  }
};

TEST(HelloProof, GenuineProofNoMatchOrLoggedFailure) {
  const PosRecord r = LoadPosRecords().at(1);
  TestDirectory dir;
  HelloClient client({Dir(dir.Path())});
  PlotIdBytes id;
  std::copy(r.plotId, r.plotId + 32, id.begin());
  const fs::path path = dir.Path() / "hello.fpt";
  const PlantedPlot base = BuildPlantedPlot(r, 1, 6);
  const uint64_t root = base.positions[30], d = base.divisor;
  uint64_t f7 = 0;
  pos_oracle::VerifyProof(r.plotId, r.challenge, r.proof, &f7);
  const std::string failed = "ERROR: Failed to read proof from \"" + path.string() + "\": ";
  const struct {
    uint64_t decoy;  // a second match of the challenge (+1: after the genuine one), 0 none
    uint8_t level;   // the header's, over leaves planted at level 1
    uint8_t flip;    // into the challenge's first byte
    uint64_t pick;
    int result;
    std::string line;  // a prefix when it ends in ": "
  } rows[] = {
      {0, 1, 0, 0, 1, ""},
      {0, 1, 0, ~uint64_t{0}, 1, ""},
      {root + 1, 1, 0, 4, 1, ""},  // match 0 of 2
      {root + 1, 1, 0, 5, -1, failed},
      {0, 1, 0x80, 0, 0, ""},
      {0, 4, 0, 3, -1, failed + "invalid plot file: 5E0C93A1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pick);
    ASSERT_LT(row.decoy, d);
    const PlantedPlot planted =
        row.decoy ? BuildPlantedPlot(r, 1, 6, {{f7 >> 6, row.decoy}}) : base;
    client.Admit(planted, path)->header.level = row.level;
    uint8_t c[32];
    std::copy(r.challenge, r.challenge + 32, c);
    c[0] ^= row.flip;
    uint32_t proof[64] = {};
    client.lines.clear();
    EXPECT_EQ(client.ProveHelloPlot(id, c, row.pick, proof), row.result);
    if (row.result == 1) {
      for (uint32_t& x : proof) x = __builtin_bswap32(x);
      EXPECT_EQ(std::vector<uint32_t>(proof, proof + 64),
                std::vector<uint32_t>(r.proof, r.proof + 64));
      EXPECT_TRUE(pos_oracle::VerifyProof(r.plotId, c, proof, nullptr));
    }
    if (row.line.empty()) {
      EXPECT_TRUE(client.lines.empty());
    } else {
      ASSERT_EQ(client.lines.size(), 1u);
      const std::string& line = client.lines[0];
      EXPECT_EQ(row.line.ends_with(": ") ? line.substr(0, row.line.size()) : line, row.line);
    }
    client.MinedPlots.clear();
  }
  // A plot no longer mined, and one cut short under the scan.
  uint32_t proof[64];
  EXPECT_EQ(client.ProveHelloPlot(id, r.challenge, 0, proof), 0);
  client.Admit(base, path);
  fs::resize_file(path, 12288);
  client.lines.clear();
  EXPECT_EQ(client.ProveHelloPlot(id, r.challenge, 0, proof), -1);
  ASSERT_EQ(client.lines.size(), 1u);
  EXPECT_EQ(client.lines[0].substr(0, 34 + path.string().size()),
            "ERROR: Failed to find proofs in \"" + path.string() + "\"");
}

}  // namespace
