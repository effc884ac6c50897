#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chia/plot_keys.h"
#include "runtime/option_values.h"
#include "tests/app/app_test_support.h"

using app_test::AddressOf;
using app_test::ExpectedUsage;
using app_test::GeneratorKey;
using app_test::KeyText;
using app_test::OffCurveKey;
using app_test::kAddress;
using app_test::SamplePuzzleHash;
using app_test::Words;

namespace {

constexpr char kProgram[] = "prog";
constexpr int64_t kGiB = int64_t{1} << 30;

struct ParseRun {
  std::optional<int> exitCode;
  std::string err;
  CommandLineOptions options;
  int selfTestRuns = 0;
};

ParseRun Parse(std::vector<std::string> args, unsigned hardwareThreads = 8,
               bool selfTestFails = false) {
  args.insert(args.begin(), kProgram);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ParseRun run;
  run.options = DefaultCommandLineOptions(hardwareThreads);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* err = open_memstream(&buffer, &size);
  run.exitCode = ParseCommandLine(
      static_cast<int>(args.size()), argv.data(), run.options,
      [&] {
        ++run.selfTestRuns;
        if (selfTestFails) throw std::runtime_error("self-test");
      },
      err);
  std::fclose(err);
  run.err.assign(buffer, size);
  std::free(buffer);
  return run;
}

std::string MessageAndUsage(const std::string& message) {
  return std::string(kProgram) + ": " + message + "\n" + ExpectedUsage(kProgram);
}

const std::string kHex64 = "00112233445566778899aabbccddeeffFFEEDDCCBBAA99887766554433221100";

struct Refusal {
  std::vector<std::string> args;
  std::string message;  // empty: the usage text alone
  unsigned hardwareThreads = 8;
};

void ExpectRefusals(const std::vector<Refusal>& refusals) {
  for (const Refusal& refusal : refusals) {
    std::string shown;
    for (const std::string& arg : refusal.args) shown += arg + " ";
    SCOPED_TRACE(shown);
    const ParseRun run = Parse(refusal.args, refusal.hardwareThreads);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err,
              refusal.message.empty() ? ExpectedUsage(kProgram) : MessageAndUsage(refusal.message));
  }
}

}  // namespace

TEST(CommandLine, HelpSelfTestAndNoArguments) {
  ParseRun help = Parse({"-v", "-h", "--bogus-never-read"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, ExpectedUsage(kProgram));
  EXPECT_EQ(Parse({"--help"}).exitCode, 0);
  // -h ends the parse before a later bad option is looked at; an earlier one wins.
  EXPECT_EQ(Parse({"-h", "-c", "9"}).exitCode, 0);
  EXPECT_EQ(Parse({"-c", "9", "-h"}).exitCode, 1);

  ParseRun selfTest = Parse({"--internal-tests", "-c", "9"});
  EXPECT_EQ(selfTest.exitCode, 0);
  EXPECT_EQ(selfTest.selfTestRuns, 1);
  EXPECT_EQ(selfTest.err, "");
  ParseRun failed = Parse({"--internal-tests"}, 8, true);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.err, "");

  // No argument at all: usage, then the run goes on with the defaults, unchecked.
  ParseRun none = Parse({}, 0);
  EXPECT_EQ(none.exitCode, std::nullopt);
  EXPECT_EQ(none.err, ExpectedUsage(kProgram));
}

TEST(CommandLine, EveryRefusalWithItsMessage) {
  const std::string longWord(200, 'w');
  const std::vector<Refusal> refusals = {
      {{"-a", kAddress, "-a", kAddress}, "Only one Chia address can be used"},
      {{"-c", "0"}, "Compression level is out of range"},
      {{"-c", "6"}, "Compression level is out of range"},
      {{"-c", "3x"}, "Compression level is out of range"},
      // Would wrap to level 2 if the value were cut to 32 bits.
      {{"-c", "4294967298"}, "Compression level is out of range"},
      {{"-u", "-1"}, "Update policy is out of range"},
      {{"-u", "5"}, "Update policy is out of range"},
      {{"-w", "a", "-w", "b"}, "Only one worker name can be defined"},
      {{"-w", "seventeen-chars-x"}, "Worker name must be between 1 and 16 characters long"},
      {{"-w", ""}, "Worker name must be between 1 and 16 characters long"},
      {{"--p-threads", "0"}, "Thread count must be positive"},
      {{"--p-threads", "x"}, "Thread count must be positive"},
      {{"--m-threads", "-3"}, "Thread count must be positive"},
      {{"--r-threads", "4x"}, "Can't parse thread count"},
      {{"--p-threads", "4294967296"}, "Can't parse thread count"},
      {{"--m-threads", "99999999999999999999999"}, "Can't parse thread count"},
      {{"-m", "16"}, "Can't parse memory limit"},
      {{"-m", "-1GB"}, "Can't parse memory limit"},
      {{"-m", "5N"}, "Can't parse memory limit"},
      {{"-m", "1e30PB"}, "Can't parse memory limit"},
      {{"-m", "8192PB"}, "Can't parse memory limit"},
      {{"-m", "nanGB"}, "Can't parse memory limit"},
      {{"-d", "-a", kAddress}, "Empty directory path"},
      {{"-d"}, "Empty directory path"},
      {{"-d,X", "/plots"}, "Unknown directory type: X"},
      {{"-d,5N,2N", "/plots"}, "Plot count limit specified more than once"},
      {{"-k", KeyText(GeneratorKey()), "-k", KeyText(GeneratorKey())},
       "Only one public key can be used"},
      {{"--query", kHex64.substr(1)}, "Challenge must be a 32 byte long hex string"},
      {{"--query", kHex64 + "0"}, "Challenge must be a 32 byte long hex string"},
      {{"/plots"}, "Invalid option -- '/plots'"},
      {{"-a", kAddress, "stray"}, "Invalid option -- 'stray'"},
      // The leftover word is cut to fit the 128-byte message buffer.
      {{longWord}, "Invalid option -- '" + longWord.substr(0, 127 - 19)},
      {{"-a", "xch1notanaddress"}, "Invalid Chia address"},
      {{"-d", "/plots"},
       "Failed to detect number of processor cores, --p-threads and --m-threads switches are "
       "required",
       0},
      {{"--p-threads", "2", "-d", "/plots"},
       "Failed to detect number of processor cores, --p-threads and --m-threads switches are "
       "required",
       0},
      // Usage text alone: unknown options, missing arguments, -q, a challenge that is no hex.
      {{"--bogus"}, ""},
      {{"-q"}, ""},
      {{"-a"}, ""},
      {{"--query"}, ""},
      {{"--query", "z" + kHex64.substr(1)}, ""},
      {{"--query", kHex64.substr(0, 63) + " "}, ""},
  };
  ExpectRefusals(refusals);
}

TEST(CommandLine, WhichRefusalWinsWhenSeveralApply) {
  const std::vector<Refusal> refusals = {
      // Options are checked in order; the first bad one ends the parse.
      {{"-c", "9", "-u", "9"}, "Compression level is out of range"},
      {{"-u", "9", "-c", "9"}, "Update policy is out of range"},
      // The duplicate is refused before the second value is looked at.
      {{"-w", "a", "-w", "seventeen-chars-x"}, "Only one worker name can be defined"},
      {{"-k", KeyText(GeneratorKey()), "-k", "bad"}, "Only one public key can be used"},
      {{"-a", "bad", "-a", kAddress}, "Only one Chia address can be used"},
      // Below one comes before the leftover characters.
      {{"--p-threads", "0x"}, "Thread count must be positive"},
      // Length before hex digits.
      {{"--query", "z"}, "Challenge must be a 32 byte long hex string"},
      // The path is checked before the items.
      {{"-d,X,-5G"}, "Empty directory path"},
      // After the last option: leftover word, then address, then thread counts.
      {{"-a", "bad", "stray"}, "Invalid option -- 'stray'", 0},
      {{"-a", "bad"}, "Invalid Chia address", 0},
      // The address is decoded only after every option was accepted.
      {{"-a", "bad", "-c", "9"}, "Compression level is out of range"},
  };
  ExpectRefusals(refusals);
}

TEST(CommandLine, DefaultsAndAcceptedValues) {
  const ParseRun defaults = Parse({"-d", "/plots"}, 7);
  ASSERT_EQ(defaults.exitCode, std::nullopt) << defaults.err;
  const CommandLineOptions& d = defaults.options;
  EXPECT_EQ(d.plottingThreads, 7u);
  EXPECT_EQ(d.miningThreads, 4u);
  EXPECT_EQ(d.readThreads, 0u);
  EXPECT_EQ(d.compressionLevelMinusOne, 0u);
  EXPECT_EQ(d.memoryAmount, 0);
  EXPECT_EQ(d.UpdatePolicy, 4);
  EXPECT_EQ(d.AddressFamily, kAddressFamilyAny);
  EXPECT_EQ(d.passwordCount, 0u);
  EXPECT_FALSE(d.rewardAddress || d.WorkerName || d.SettingsFolder || d.QueryChallenge ||
               d.DelegatedPublicKey || d.RewardPuzzleHash);
  ASSERT_EQ(d.directories.size(), 1u);
  EXPECT_EQ(d.directories[0].path, "/plots");
  EXPECT_TRUE(d.directories[0].tempFilesAllowed && d.directories[0].sparsePlotsAllowed &&
              d.directories[0].finalPlotsAllowed);
  EXPECT_EQ(d.directories[0].spaceLimit, -1);

  std::vector<std::string> args = Words(
      "-c 5 -u 0 -m 16gib -v --verbose -s /first -s /second -w sixteen-chars-ok --p-threads 12 "
      "--m-threads=3 --r-threads 2 -d,1TB,ts /a -d,r /b -4");
  const std::vector<std::string> more = {"-a",      kAddress, "--query", "ff" + kHex64.substr(2),
                                         "--query", kHex64};
  args.insert(args.end(), more.begin(), more.end());
  const ParseRun full = Parse(args);
  ASSERT_EQ(full.exitCode, std::nullopt) << full.err;
  const CommandLineOptions& o = full.options;
  EXPECT_EQ(o.compressionLevelMinusOne, 4u);
  EXPECT_EQ(o.UpdatePolicy, 0);
  EXPECT_EQ(o.memoryAmount, 16 * kGiB);
  EXPECT_EQ(o.Verbosity, 2);
  EXPECT_EQ(o.SettingsFolder, "/second");
  EXPECT_EQ(o.WorkerName, "sixteen-chars-ok");
  EXPECT_EQ(o.plottingThreads, 12u);
  EXPECT_EQ(o.miningThreads, 3u);
  EXPECT_EQ(o.readThreads, 2u);
  EXPECT_EQ(o.rewardAddress, kAddress);
  EXPECT_EQ(o.RewardPuzzleHash, SamplePuzzleHash());
  ASSERT_EQ(o.directories.size(), 2u);
  EXPECT_EQ(o.directories[0].path, "/a");
  EXPECT_EQ(o.directories[0].spaceLimit, int64_t{1} << 40);
  EXPECT_TRUE(o.directories[0].tempFilesAllowed && o.directories[0].sparsePlotsAllowed);
  EXPECT_FALSE(o.directories[0].finalPlotsAllowed);
  EXPECT_EQ(o.directories[1].path, "/b");
  EXPECT_TRUE(o.directories[1].readOnly);
  ASSERT_TRUE(o.QueryChallenge);
  EXPECT_EQ((*o.QueryChallenge)[0], 0x00);  // the later --query replaced the first
  EXPECT_EQ((*o.QueryChallenge)[15], 0xFF);
  EXPECT_EQ((*o.QueryChallenge)[16], 0xFF);
  EXPECT_EQ((*o.QueryChallenge)[31], 0x00);
  EXPECT_EQ(o.AddressFamily, kAddressFamilyIpv4);

  EXPECT_EQ(Parse({"-6", "-d", "/p"}).options.AddressFamily, kAddressFamilyIpv6);
  EXPECT_EQ(Parse({"-4", "-6", "-d", "/p"}).options.AddressFamily, kAddressFamilyAny);
  EXPECT_EQ(Parse({"-m", "1.5GB"}).options.memoryAmount, 3 * kGiB / 2);
  EXPECT_EQ(Parse({"-m", "0GB"}).options.memoryAmount, 0);
  EXPECT_EQ(Parse({"-m", "512k"}).options.memoryAmount, 512 * 1024);
  EXPECT_EQ(Parse({"-m", "7B"}).options.memoryAmount, 7);
  EXPECT_EQ(Parse({"-c", "1"}).options.compressionLevelMinusOne, 0u);
  EXPECT_EQ(Parse({"-u", "4"}).options.UpdatePolicy, 4);
}

TEST(CommandLine, EachFlagOptionSetsItsOwnFlag) {
  using Flag = int32_t CommandLineOptions::*;
  const std::vector<std::pair<std::string, Flag>> flags = {
      {"--watchdog-mode", &CommandLineOptions::watchdogMode},
      {"--no-finalizing", &CommandLineOptions::noFinalizing},
      {"--no-plotting", &CommandLineOptions::noPlotting},
      {"--no-rescan", &CommandLineOptions::noRescan},
      {"--no-benchmark", &CommandLineOptions::noBenchmark},
      {"--no-ntp", &CommandLineOptions::noNtp},
      {"--skip-test", &CommandLineOptions::skipTest},
      {"--check-plots", &CommandLineOptions::checkPlots},
      {"--low-priority", &CommandLineOptions::lowPriority},
  };
  for (const auto& [option, flag] : flags) {
    SCOPED_TRACE(option);
    const ParseRun run = Parse({option});
    ASSERT_EQ(run.exitCode, std::nullopt) << run.err;
    for (const auto& [other, otherFlag] : flags) {
      EXPECT_EQ(run.options.*otherFlag, otherFlag == flag ? 1 : 0) << other;
    }
  }
}

TEST(CommandLine, PasswordWords) {
  // -p: attached value, next word, or nothing; the count grows every time.
  ParseRun run = Parse({"-pfirst", "-p", "second", "-p", "-v", "-p"});
  ASSERT_EQ(run.exitCode, std::nullopt) << run.err;
  EXPECT_EQ(run.options.passwords, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(run.options.passwordCount, 4u);
  EXPECT_EQ(run.options.Verbosity, 1);
  run = Parse({"-p"});
  EXPECT_EQ(run.options.passwordCount, 1u);
  EXPECT_TRUE(run.options.passwords.empty());
}

TEST(CommandLine, DelegatedPublicKeyIsAValidPoint) {
  const std::array<uint8_t, 48> key = GeneratorKey();
  EXPECT_EQ(ParseDelegatedPublicKey(KeyText(key).c_str()), key);
  const ParseRun run = Parse({"-k", KeyText(key)});
  EXPECT_EQ(run.options.DelegatedPublicKey, key);

  const std::string message =
      "Invalid public key for delegated plotting. Miners do not need the -k option, try to "
      "remove it.";
  // Lengths, padding and checksums are the shared bech32 decoding's, tested with it.
  std::vector<uint8_t> groups;
  Bech32ConvertBits(groups, key.data(), key.data() + key.size());
  const std::vector<std::string> refused = {
      KeyText(OffCurveKey()),        // 48 bytes, but no point of the curve
      Bech32mEncode("xch", groups),  // wrong prefix
      "not a key",
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    const ParseRun bad = Parse({"-k", text});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, MessageAndUsage(message));
  }
}

TEST(CommandLine, PublishedValues) {
  const ParseRun run = Parse({"-v", "-6", "-u", "2", "--no-ntp", "--watchdog-mode", "-a", kAddress,
                              "-k", KeyText(GeneratorKey()), "--query", kHex64, "-d", "/p"});
  ASSERT_EQ(run.exitCode, std::nullopt) << run.err;
  PublishOptionValues(run.options);
  EXPECT_EQ(Verbosity, 1);
  EXPECT_EQ(AddressFamily, kAddressFamilyIpv6);
  EXPECT_EQ(UpdatePolicy, 2);
  EXPECT_EQ(NoNtpFlag, 1);
  EXPECT_EQ(WatchdogModeFlag, 1);
  EXPECT_EQ(RewardPuzzleHash, SamplePuzzleHash());
  EXPECT_EQ(QueryChallenge.queryMode, 1);
  EXPECT_EQ(QueryChallenge.challenge, *run.options.QueryChallenge);
  ASSERT_NE(DelegatedPublicKey, nullptr);
  const std::array<uint8_t, 48> key = GeneratorKey();
  EXPECT_TRUE(std::equal(key.begin(), key.end(), DelegatedPublicKey));
  // Back to the defaults for the other tests of this process.
  PublishOptionValues(DefaultCommandLineOptions(8));
  QueryChallenge = {};
  DelegatedPublicKey = nullptr;
  RewardPuzzleHash = {};
}
