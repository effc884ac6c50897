// Delegated plotting end to end: a plot made for an owner's public key waits for the owner's
// password before it is mined, and keeps its completed keys on disk once they are embedded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "chia/plot_keys.h"
#include "manager/text_helpers.h"
#include "plotter/plot_header.h"
#include "tests/app/whole_program_support.h"

using namespace whole_program;

namespace {

bool Seen(const ProgramRun& run, const std::string& text) {
  return run.Console().find(text) != std::string::npos;
}

// Runs the program until it has printed each of `until` (then `quietMs` more, when given), stops
// it with Ctrl+C and checks its exit and that each of `expected` is one of its lines.
std::string RunAndStop(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& until,
                       const std::vector<std::string>& expected, int quietMs = 0) {
  ProgramRun run(program, args);
  for (const std::string& text : until) {
    EXPECT_TRUE(Seen(run, text) || run.WaitFor(text)) << text << "\n" << run.Console();
  }
  if (quietMs != 0) run.WaitFor("\n", quietMs);
  run.Signal(SIGINT);
  EXPECT_EQ(run.End(), 0) << run.Console();
  for (const std::string& line : expected) {
    EXPECT_EQ(std::count(run.Lines().begin(), run.Lines().end(), line), 1) << line << "\n"
                                                                           << run.Console();
  }
  return run.Console();
}

}  // namespace

TEST(WholeProgram, DelegatedPlotIsMinedOnlyAfterItsPasswordRun) {
  EnterPrivateNetwork();
  Farm farm;
  FakePool pool;
  const std::string program = farm.Program();
  const std::string password = "owner's words";
  PlotSecretKey secret;
  PlotPublicKey publicKey;
  DeriveKeyFromPassword(password.c_str(), secret.data(), publicKey.data());
  const std::string key = EncodeKeyBech32m(publicKey.data());
  auto args = [&](std::vector<std::string> more) {
    // One plot at most, left sparse.
    more.insert(more.begin(), {"-s", farm.settings, "-d,1N", farm.plots, "-a", kAddress,
                               "--no-benchmark", "--no-finalizing", "-m", "2GB"});
    return more;
  };
  // The pool is contacted only once a plot is mined.
  const std::string connecting = "Connecting to 127.0.0.29";

  // The plotter knows only the owner's public key.
  RunAndStop(program, args({"-k", key}), {"Plot done"}, {"Using public key: " + key});
  ASSERT_EQ(farm.Files(".spt").size(), 1u);
  const fs::path plot = farm.Files(".spt")[0];
  const PlotHeader made = HeaderOf(plot);
  EXPECT_EQ(std::tuple(made.keyBlockFlag, made.keyBlock[kKeyRecordKind]),
            std::tuple(1, kPlotKeysDelegated));
  EXPECT_EQ(0, std::memcmp(made.keyBlock + kKeyRecordDelegationKey, publicKey.data(), 48));

  // Without the password the plot is reported and not mined; the pool waits 5 s between looks
  // at the mined plots.
  const std::string group =
      " plot (1 untested, 1 sparse, CL1) with public key " + key.substr(0, 18) + "...";
  std::string console = RunAndStop(program, args({"--no-plotting"}), {"Mineable plots: "},
                                   {"!!!password needed!!! 1" + group, "Mineable plots: 0",
                                    "Password needed for the following public key:", key,
                                    "1 plot can not be used until password is specified"},
                                   7000);
  EXPECT_EQ(console.find("Connecting to"), std::string::npos) << console;
  EXPECT_EQ(pool.Hellos(), 0);

  // With the password the plot is tested, mined, and its completed keys are written into it.
  RunAndStop(program, args({"--no-plotting", "-p", password}),
             {"Secret key was embedded", connecting},
             {"Public key for delegated plotting: " + key, "1" + group, "Mineable plots: 1",
              "<time> Start testing \"" + PathStem(plot) + "\"", "<time> Test passed",
              "<time> Secret key was embedded into \"" + PathStem(plot) + "\"",
              "<time> " + connecting});
  // The owner's share is added to both secrets and nothing else changes; the secrets then match
  // the plot id and public key without the owner's key.
  PlotHeader completed = made;
  completed.keyBlock[kKeyRecordKind] = kPlotKeysCompleted;
  AggregatePlotSecretKey(completed.keyBlock + kKeyRecordSecretA,
                         completed.keyBlock + kKeyRecordSecretB, secret.data());
  const PlotHeader embedded = HeaderOf(plot);
  EXPECT_EQ(0, std::memcmp(&embedded, &completed, sizeof completed));
  EXPECT_EQ(DefaultPlotKeyProvider()->CheckPlotId(embedded.plotId, embedded.keyBlock), key);
  for (const PlotHeader* header : {&made, &embedded}) {
    EXPECT_EQ(CheckPlotPublicKey(header->keyBlock + kKeyRecordSecretB,
                                 header->keyBlock + kKeyRecordPublicKeyB),
              header == &embedded);
  }

  // From then on the plot is mined without the password.
  console = RunAndStop(program, args({"--no-plotting"}), {connecting},
                       {"1 plot (1 sparse, CL1) with public key " + key.substr(0, 18) + "...",
                        "Mineable plots: 1", "<time> " + connecting});
  EXPECT_EQ(console.find("password"), std::string::npos) << console;
}
