#include <gtest/gtest.h>

#include "manager/key_embedding.h"
#include "manager/scan_file_reader.h"
#include "manager/text_helpers.h"
#include "tests/manager/scan_test_support.h"

namespace {

class TestingClient : public ScanClient {
 public:
  using Client::Engine, Client::embedFault_, Client::Mutex, Client::TestPlotEntry,
      Client::ThreadStop;
  using ScanClient::ScanClient;
};

// Byte 36 and the key block as the file holds them.
std::vector<uint8_t> KeyBytes(const fs::path& path) {
  std::vector<uint8_t> bytes(600);
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), 600);
  bytes.erase(bytes.begin() + 37, bytes.begin() + 88);
  return {bytes.begin() + 36, bytes.end()};
}

}  // namespace

TEST(PlotTest, TestOutcomesAndTheKeyBlockOnDisk) {
  DelegatedKeys keys;
  const PlotHeader delegated = Plot(5, kPlotKeysDelegated, keys.given.data());
  TestDirectory dir;
  const fs::path path = dir / "p.fpt";
  const std::string start = "Start testing \"" + PathStem(path) + "\"", passed = "Test passed",
                    failed = "ERROR: Failed to embed secret key: injected",
                    embedded = "Secret key was embedded into \"" + PathStem(path) + "\"";
  enum Setup { kNone, kInvalidProof, kStop, kReadOnly };
  // (skip-test switch, setup, the embedding step that fails or -1, lines)
  const std::tuple<uint8_t, Setup, int, Lines> rows[] = {
      {1, kNone, -1, {passed, embedded}},
      {1, kNone, 1, {passed, failed}},
      {1, kNone, 2, {passed, failed}},
      {1, kReadOnly, -1, {passed}},
      {0, kNone, -1, {start, "ERROR: Test failed: Too few proofs"}},
      {0, kInvalidProof, -1, {start, "ERROR: Test failed: Found invalid proof"}},
      {0, kStop, -1, {start, "Test cancelled"}}};
  for (const auto& [skipTest, setup, failStep, lines] : rows) {
    WritePlot(path, delegated);
    const std::vector<uint8_t> before = KeyBytes(path);
    TestingClient client({Dir(dir.Path(), setup == kReadOnly)}, {.skipTest = skipTest});
    client.embedFault_ = [&, failStep = failStep](int step) {
      if (step == failStep) throw std::runtime_error("injected");
    };
    auto held = OpenPlotFile(*client.Engine, path, 0);
    held->failedProofCount = setup == kInvalidProof;
    client.ThreadStop = setup == kStop;
    client.lines.clear();
    client.TestPlotEntry({0, path});
    EXPECT_EQ(client.lines, lines) << failStep;
    const std::vector<uint8_t> after = KeyBytes(path);
    if (lines.back() != embedded) {
      EXPECT_EQ(after, before) << failStep;
      continue;
    }
    // Flag 1 and the completed record, whose keys give the plot id without the delegation key.
    EXPECT_EQ(Bytes(after.data(), 2), (std::vector<uint8_t>{1, kPlotKeysCompleted}));
    EXPECT_EQ(Bytes(after.data() + 1, 512), Bytes(held->header.keyBlock, 512));
    EXPECT_TRUE(KeyBlockMatchesPlotId(delegated.plotId, after.data() + 1));
  }
}

// A file whose embedding stopped after its block was written still carries its keys.
TEST(PlotTest, FlagZeroWithAMatchingBlockCountsAsKeysPresent) {
  TestDirectory dir;
  PlotHeader zeroFlag = Plot(5), empty = Plot(5, -1), foreign = Plot(9);
  zeroFlag.keyBlockFlag = foreign.keyBlockFlag = 0;
  std::copy(zeroFlag.plotId, zeroFlag.plotId + 32, foreign.plotId);
  const std::pair<PlotHeader, uint8_t> rows[] = {
      {Plot(5), 1}, {zeroFlag, 1}, {empty, 0}, {foreign, 0}};
  for (const auto& [header, hasKeys] : rows) {
    WritePlot(dir / "p.fpt", header);
    std::array<uint8_t, 512> block{};
    EXPECT_EQ(ReadScannedFile(dir / "p.fpt", 0, block).HasKeyBlock, hasKeys);
  }
}
