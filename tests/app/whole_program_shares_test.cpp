// Whole-program runs of the test build that end in proofs: a fresh farm plots, finalizes and
// mines, and the shares a fake pool receives, like the proof a query prints, pass the
// independent verifier under the test build's plot scale.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "chia/sha256.h"
#include "plotter/plot_file.h"
#include "prover/proof_order.h"
#include "tests/app/whole_program_support.h"
#include "tests/chia/pos_verifier.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/hex.h"

using namespace whole_program;

namespace {

constexpr int kShift = 10;
using Bytes32 = std::array<uint8_t, 32>;

uint32_t Be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
std::string ShortId(const uint8_t* id) { return ToHex(id, 2) + "..." + ToHex(id + 30, 2); }

// Whether `wanted` come in this order among the lines, others between them.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  auto at = lines.begin();
  for (const std::string& line : wanted) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return false;
    ++at;
  }
  return true;
}

// The final plot's id and key block, and the sorted outputs f of its table 5 (v / D), read
// through the plot reader.
struct FinalPlot {
  PlotHeader header;
  std::vector<uint32_t> outputs;
};
FinalPlot ReadFinalPlot(const fs::path& path) {
  TestOwner owner;
  const std::shared_ptr<PlotFile> plot = OpenPlotFile(owner.owner, path, 0);
  FinalPlot out{plot->header, {}};
  const uint64_t blocks = plot->header.tables[5].blockCount, d = plot->header.tables[4].entryCount;
  for (uint64_t first = 0; first < blocks; first += PlotFile::kMaxReadBlocks) {
    const uint64_t end = std::min(blocks, first + PlotFile::kMaxReadBlocks);
    plot->ReadTableBlocks(5, first, end, 0);
    for (uint64_t j = 0; j < end - first; ++j) {
      uint64_t position = 0;
      const DecodedBlock block = plot->ReadAndDecodeBlock(5, j, position, false, false, 0);
      for (uint64_t i = 0; i < block.count; ++i) out.outputs.push_back(block.values[i] / d);
    }
  }
  EXPECT_TRUE(std::is_sorted(out.outputs.begin(), out.outputs.end()));
  return out;
}

// The pool's plot filter and the plot's challenge for a signage point; false when the plot
// does not take part.
bool PlotChallenge(const uint8_t plotId[32], const uint8_t* fields87, Bytes32& challenge) {
  uint8_t input[96], h[32];
  std::memcpy(input, plotId, 32), std::memcpy(input + 32, fields87, 64);
  SHA256(input, 96, h);
  if (h[0] != 0 || h[1] >= 0x80) return false;
  SHA256(h, 32, challenge.data());
  return true;
}

// Signage-point fields whose challenge passes the filter and names an output of table 5. Every
// quality is good enough for a share (share factor 0) and none could win a block.
fake_pool::Bytes HittingSignagePoint(const FinalPlot& plot, uint8_t index, std::mt19937_64& random,
                                     Bytes32& challenge) {
  fake_pool::Bytes f(87);
  for (;;) {
    for (int i = 0; i < 64; i += 8) fake_pool::PutLe(f, i, random(), 8);
    if (PlotChallenge(plot.header.plotId, f.data(), challenge) &&
        std::binary_search(plot.outputs.begin(), plot.outputs.end(), Be32(challenge.data()))) {
      break;
    }
  }
  fake_pool::PutLe(f, 64, 1, 8), fake_pool::PutLe(f, 72, 0, 8);
  fake_pool::PutLe(f, 80, time(nullptr), 4), f[84] = 0, f[85] = index, f[86] = 60;
  return f;
}

// A proof as the client sends and prints it (each x big-endian) must pass the verifier at the
// test build's scale, and only there, with the quality the client computes from it.
void ExpectVerifiedProof(const uint8_t* raw, const uint8_t plotId[32], const Bytes32& challenge,
                         const std::vector<uint8_t>& quality = {}) {
  uint32_t inMemory[64], proof[64];
  std::memcpy(inMemory, raw, 256);
  for (int i = 0; i < 64; ++i) proof[i] = Be32(raw + 4 * i);
  EXPECT_TRUE(pos_oracle::VerifyProof(plotId, challenge.data(), proof, nullptr, kShift));
  EXPECT_FALSE(pos_oracle::VerifyProof(plotId, challenge.data(), proof));
  const std::vector<uint8_t> expected = pos_oracle::Quality(challenge.data(), proof);
  const uint64_t pair = ProofQualityXPair(inMemory, challenge.data());
  std::vector<uint8_t> computed(32);
  Sha256_32_8(computed.data(), challenge.data(), reinterpret_cast<const uint8_t*>(&pair));
  EXPECT_EQ(computed, expected);
  if (!quality.empty()) {
    EXPECT_EQ(quality, expected);
  }
  proof[17] ^= 1u << 20;
  EXPECT_FALSE(pos_oracle::VerifyProof(plotId, challenge.data(), proof, nullptr, kShift));
}

// The farm whose plot the query uses too; the query alone makes the plot without a pool.
std::unique_ptr<Farm> sharedFarm;
std::vector<std::string> OnePlot(const Farm& farm, std::vector<std::string> more) {
  std::vector<std::string> args{"-s", farm.settings, "-d,1N", farm.plots, "--no-benchmark"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}
bool HasFinishedPlot(const Farm& farm) {
  return farm.Files(".fpt").size() == 1 && farm.Files(".spt").empty();
}
void WaitForFinishedPlot(const Farm& farm) {
  for (int i = 0; i < 3000 && !HasFinishedPlot(farm); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST(WholeProgram, PlotsFinalizesAndSharesProofs) {
  EnterPrivateNetwork();
  sharedFarm = std::make_unique<Farm>();
  const Farm& farm = *sharedFarm;
  FakePool pool;
  ProgramRun run(farm.Program(), OnePlot(farm, {"-a", kAddress, "-m", "3GB"}));
  WaitForFinishedPlot(farm);
  ASSERT_TRUE(HasFinishedPlot(farm)) << run.Console();
  for (int i = 0; i < 600 && pool.Hellos() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (pool.Hellos() == 0) {
    run.Signal(SIGINT);
    run.End();
    FAIL() << "no hello\n" << run.Console();
  }
  const FinalPlot plot = ReadFinalPlot(farm.Files(".fpt")[0]);
  const uint8_t* plotId = plot.header.plotId;

  std::mt19937_64 random(29);
  std::vector<Bytes32> hashes, challenges;
  for (uint8_t index = 1; index <= 3; ++index) {
    Bytes32& challenge = challenges.emplace_back();
    const fake_pool::Bytes fields = HittingSignagePoint(plot, index, random, challenge);
    pool.SendSignagePoint(fields);
    std::copy(fields.begin() + 32, fields.begin() + 64, hashes.emplace_back().begin());
    ASSERT_TRUE(run.WaitFor("Share generated using plot ")) << run.Console();
  }
  // Each share goes out in several copies; wait until one of each has come (the limit only
  // bounds a hang).
  const auto allAnswered = [&] {
    std::set<Bytes32> answered;
    for (const Datagram& share : pool.Shares())
      answered.insert(*reinterpret_cast<const Bytes32*>(share.data()));
    return answered.size() >= hashes.size();
  };
  for (int i = 0; i < 1200 && !allAnswered(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  run.Signal(SIGINT);
  EXPECT_EQ(run.End(), 0) << run.Console();
  // The plot's road, and the pool's, each in its order.
  std::string name = ToHex(plotId, 32);
  std::transform(name.begin(), name.end(), name.begin(), ::toupper);
  EXPECT_EQ(farm.Files(".fpt")[0].filename(), name + ".fpt");
  const std::string file =
      "\"" + (farm.plots / (name.substr(0, 4) + "..." + name.substr(60))).string();
  EXPECT_TRUE(
      InOrder(run.Lines(),
              {"VarnokChiaPool version 1.3", "Mining on address: " + kAddress,
               "<time> Start plotting " + file + ".spt\"", "<time> Plot done " + file + ".spt\"",
               "<time> Start finalization " + file + ".fpt\"",
               "<time> Finalized " + file + ".fpt\"", "<time> File deleted " + file + ".spt\""}))
      << run.Console();
  std::vector<std::string> poolRoad{"<time> Connecting to 127.0.0.29",
                                    "<time> Connection established"};
  for (const Bytes32& hash : hashes) {
    poolRoad.push_back("<time> Signage point " + ShortId(hash.data()));
    poolRoad.push_back("<time> Share generated using plot " + ShortId(plotId));
  }
  EXPECT_TRUE(InOrder(run.Lines(), poolRoad)) << run.Console();

  const std::vector<Datagram> copies = pool.Shares();
  const std::set<Datagram> shares(copies.begin(), copies.end());
  std::set<Bytes32> answered;
  for (const Datagram& share : shares) {
    const auto sent =
        std::find(hashes.begin(), hashes.end(), *reinterpret_cast<const Bytes32*>(share.data()));
    ASSERT_NE(sent, hashes.end());
    answered.insert(*sent);
    EXPECT_EQ(ToHex(share.data() + 32, 32), ToHex(plotId, 32));
    ExpectVerifiedProof(share.data() + 64, plotId, challenges[sent - hashes.begin()]);
    // The plot's keys and the reward address go with each share.
    EXPECT_EQ(share[320], 0);
    EXPECT_EQ(ToHex(share.data() + 321, 113), ToHex(plot.header.keyBlock, 113));
    EXPECT_EQ(ToHex(share.data() + 434, 32), ToHex(app_test::SamplePuzzleHash()));
  }
  EXPECT_EQ(answered.size(), hashes.size());
}

TEST(WholeProgram, QueryPrintsAVerifiedProof) {
  EnterPrivateNetwork();
  if (sharedFarm == nullptr) sharedFarm = std::make_unique<Farm>();
  const Farm& farm = *sharedFarm;
  if (!HasFinishedPlot(farm)) {
    ProgramRun run(kTestBuild, OnePlot(farm, {"-m", "3GB"}));
    WaitForFinishedPlot(farm);
    run.Signal(SIGINT);
    run.End();
    ASSERT_TRUE(HasFinishedPlot(farm)) << run.Console();
  }
  const FinalPlot plot = ReadFinalPlot(farm.Files(".fpt")[0]);
  Bytes32 challenge;
  std::mt19937_64 random(6);
  for (uint8_t& byte : challenge) byte = static_cast<uint8_t>(random());
  const uint32_t output = plot.outputs[random() % plot.outputs.size()];
  for (int i = 0; i < 4; ++i) challenge[i] = static_cast<uint8_t>(output >> (24 - 8 * i));

  ProgramRun run(kTestBuild,
                 OnePlot(farm, {"--no-plotting", "--no-finalizing", "--query", ToHex(challenge)}));
  EXPECT_EQ(run.End(), 1) << run.Console();
  const std::vector<std::string>& lines = run.Lines();
  const auto first = std::find(lines.begin(), lines.end(), "<time> challenge: " + ToHex(challenge));
  ASSERT_GE(lines.end() - first, 4) << run.Console();
  EXPECT_EQ(first[1], "<time> plotid: " + ToHex(plot.header.plotId, 32));
  const std::string quality = "<time> quality: ", pos = "<time> PoS: ";
  ASSERT_EQ(first[2].substr(0, quality.size()), quality);
  ASSERT_EQ(first[3].substr(0, pos.size()), pos);
  ASSERT_EQ(first[3].size(), pos.size() + 512);
  ExpectVerifiedProof(FromHex(first[3].substr(pos.size())).data(), plot.header.plotId, challenge,
                      FromHex(first[2].substr(quality.size())));
}

}  // namespace
