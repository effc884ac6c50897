#include <gtest/gtest.h>

#include "tests/manager/scan_test_support.h"
#include "tests/prover/planted_plot_support.h"

struct HelloClient : ScanClient {
  using ScanClient::ScanClient, Client::Engine;
};

// A mined plot planted around a genuine proof: its proof, a damaged copy's logged failure, and
// no match for another challenge.
TEST(HelloProof, GenuineProofLoggedFailureOrNoMatch) {
  PosRecord r = LoadPosRecords().at(1);
  TestDirectory dir;
  HelloClient client({Dir(dir.Path())});
  const fs::path path = dir.Path() / "hello.fpt";
  BuildPlantedPlot(r, 1, 6).plot.Write(path);
  client.MinedPlots.push_back(OpenPlotFile(*client.Engine, path, 0));
  PlotIdBytes id;
  std::copy(r.plotId, r.plotId + 32, id.begin());
  uint32_t proof[64];
  ASSERT_EQ(client.ProveHelloPlot(id, r.challenge, ~uint64_t{0}, proof), 1);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(__builtin_bswap32(proof[i]), r.proof[i]) << i;
  client.MinedPlots[0]->header.level = 4;  // its leaves were planted at level 1
  EXPECT_EQ(client.ProveHelloPlot(id, r.challenge, 5, proof), -1);
  EXPECT_EQ(client.lines, Lines{"ERROR: Failed to read proof from \"" + path.string() +
                                "\": invalid plot file: 5E0C93A1"});
  r.challenge[0] ^= 0x80;
  EXPECT_EQ(client.ProveHelloPlot(id, r.challenge, 0, proof), 0);
}
