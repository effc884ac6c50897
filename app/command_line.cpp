#include "app/command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "app/usage_text.h"
#include "chia/bls/g1_element.h"
#include "chia/chia_address.h"
#include "chia/plot_keys.h"
#include "pool/hex.h"
#include "runtime/option_values.h"
#include "runtime/size_suffix_table.h"

namespace {

constexpr char kShortOptions[] = "hva:q46s:c:d::p::k:w:u:m:";

enum LongOptionValue : int {
  kHelp = 1,
  kVerbose = 2,
  kInternalTests = 3,
  kPlottingThreads = 4,
  kMiningThreads = 5,
  kReadThreads = 6,
  kQuery = 7,
};

// 2^63: the first amount a signed 64-bit count cannot hold.
constexpr double kInt64Limit = 9223372036854775808.0;

constexpr size_t kMaxWorkerNameLength = 16;
constexpr size_t kInvalidOptionBufferSize = 128;

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error(message); }

// Ends the parse with the usage text alone.
struct UsageOnly {};

// A decimal number that is the whole text and lies in low..high, else the message.
long ParseNumberInRange(const char* text, long low, long high, const char* message) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || errno == ERANGE || value < low || value > high) Fail(message);
  return value;
}

// The next word when it is there and is no option; optind moves past a word it takes.
const char* TakeNextWord(int argc, char* const argv[]) {
  if (optind < argc && argv[optind][0] != '-') return argv[optind++];
  return nullptr;
}

void ParseOption(int option, int argc, char* const argv[], CommandLineOptions& options,
                 const std::function<void()>& selfTest, std::optional<int>& exitCode) {
  switch (option) {
    case 'v':
    case kVerbose:
      ++options.Verbosity;
      break;
    case 'a':
      if (options.rewardAddress) Fail("Only one Chia address can be used");
      options.rewardAddress = optarg;
      break;
    case '4':
      options.ipv4 = 1;
      break;
    case '6':
      options.ipv6 = 1;
      break;
    case 's':
      options.SettingsFolder = optarg;
      break;
    case 'c':
      options.compressionLevelMinusOne = static_cast<uint32_t>(
          ParseNumberInRange(optarg, 1, 5, "Compression level is out of range") - 1);
      break;
    case 'd': {
      // The path is always the next word: the attached text holds only the limitations.
      const char* items = optarg;
      const char* path = TakeNextWord(argc, argv);
      options.directories.push_back(ParseDirectorySpec(items, path));
      break;
    }
    case 'p': {
      const char* password = optarg != nullptr ? optarg : TakeNextWord(argc, argv);
      if (password != nullptr) options.passwords.emplace_back(password);
      ++options.passwordCount;
      break;
    }
    case 'k':
      if (options.DelegatedPublicKey) Fail("Only one public key can be used");
      options.DelegatedPublicKey = ParseDelegatedPublicKey(optarg);
      break;
    case 'w': {
      if (options.WorkerName) Fail("Only one worker name can be defined");
      const size_t length = std::strlen(optarg);
      if (length < 1 || length > kMaxWorkerNameLength) {
        Fail("Worker name must be between 1 and " + std::to_string(kMaxWorkerNameLength) +
             " characters long");
      }
      options.WorkerName = optarg;
      break;
    }
    case 'u':
      options.UpdatePolicy =
          static_cast<uint8_t>(ParseNumberInRange(optarg, 0, 4, "Update policy is out of range"));
      break;
    case 'm':
      options.memoryAmount = ParseMemoryAmount(optarg);
      break;
    case kInternalTests:
      try {
        selfTest();
        exitCode = 0;
      } catch (...) {
        exitCode = 1;
      }
      break;
    case kPlottingThreads:
      options.plottingThreads = ParseThreadCount(optarg);
      break;
    case kMiningThreads:
      options.miningThreads = ParseThreadCount(optarg);
      break;
    case kReadThreads:
      options.readThreads = ParseThreadCount(optarg);
      break;
    case kQuery:
      if (std::strlen(optarg) != 64) Fail("Challenge must be a 32 byte long hex string");
      options.QueryChallenge = ParseHex32(optarg);
      break;
    default:  // unknown options, missing arguments and -q
      throw UsageOnly{};
  }
}

void CheckAfterLastOption(int argc, char* const argv[], CommandLineOptions& options) {
  if (optind < argc) {
    char message[kInvalidOptionBufferSize];
    std::snprintf(message, sizeof message, "Invalid option -- '%s'", argv[optind]);
    Fail(message);
  }
  if (options.ipv4 && !options.ipv6) options.AddressFamily = kAddressFamilyIpv4;
  if (options.ipv6 && !options.ipv4) options.AddressFamily = kAddressFamilyIpv6;
  if (options.rewardAddress) {
    std::array<uint8_t, 32> puzzleHash;
    if (!DecodeChiaAddress(*options.rewardAddress, puzzleHash.data())) {
      Fail("Invalid Chia address");
    }
    options.RewardPuzzleHash = puzzleHash;
  }
  if (options.plottingThreads == 0 || options.miningThreads == 0) {
    Fail(
        "Failed to detect number of processor cores, --p-threads and --m-threads switches are "
        "required");
  }
}

}  // namespace

CommandLineOptions DefaultCommandLineOptions(unsigned hardwareThreads) {
  CommandLineOptions options;
  options.plottingThreads = hardwareThreads;
  options.miningThreads = (hardwareThreads + 1) / 2;
  return options;
}

uint32_t ParseThreadCount(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (value < 1) Fail("Thread count must be positive");
  // A count beyond 32 bits would wrap to a small one.
  if (*end != '\0' || errno == ERANGE || value > UINT32_MAX) Fail("Can't parse thread count");
  return static_cast<uint32_t>(value);
}

int64_t ParseMemoryAmount(const char* text) {
  char* end = nullptr;
  const double number = std::strtod(text, &end);
  const std::optional<int64_t> multiplier = FindSizeSuffix(end);
  // A plot count ("N") is no amount, and an amount must fit 64 bits.
  if (!std::isfinite(number) || number < 0 || !multiplier || *multiplier < 0) {
    Fail("Can't parse memory limit");
  }
  const double amount = static_cast<double>(*multiplier) * number;
  if (!(amount < kInt64Limit)) Fail("Can't parse memory limit");
  return static_cast<int64_t>(amount);
}

std::array<uint8_t, 48> ParseDelegatedPublicKey(const char* text) {
  std::array<uint8_t, 48> key;
  try {
    if (!DecodeBech32Bytes(text, "g", key.data(), key.size())) {
      throw std::runtime_error("key decoding failed");
    }
    // Refused here rather than at every plot start later.
    bls::G1Element::FromBytes(bls::Bytes(key.data(), key.size()));
    return key;
  } catch (const std::exception&) {
    Fail(
        "Invalid public key for delegated plotting. Miners do not need the -k option, try to "
        "remove it.");
  }
}

std::optional<int> ParseCommandLine(int argc, char* const argv[], CommandLineOptions& options,
                                    const std::function<void()>& selfTest, FILE* err) {
  const char* program = argc > 0 ? argv[0] : "";
  if (argc < 2) {
    PrintUsage(err, program);
    return std::nullopt;
  }
  // getopt reorders the words it is given; the caller's argv stays as it was.
  std::vector<char*> words(argv, argv + argc);
  words.push_back(nullptr);
  const option longOptions[] = {
      {"help", no_argument, nullptr, kHelp},
      {"verbose", no_argument, nullptr, kVerbose},
      {"internal-tests", no_argument, nullptr, kInternalTests},
      {"p-threads", required_argument, nullptr, kPlottingThreads},
      {"m-threads", required_argument, nullptr, kMiningThreads},
      {"r-threads", required_argument, nullptr, kReadThreads},
      {"query", required_argument, nullptr, kQuery},
      {"watchdog-mode", no_argument, &options.watchdogMode, 1},
      {"no-finalizing", no_argument, &options.noFinalizing, 1},
      {"no-plotting", no_argument, &options.noPlotting, 1},
      {"no-rescan", no_argument, &options.noRescan, 1},
      {"no-benchmark", no_argument, &options.noBenchmark, 1},
      {"no-ntp", no_argument, &options.noNtp, 1},
      {"skip-test", no_argument, &options.skipTest, 1},
      {"check-plots", no_argument, &options.checkPlots, 1},
      {"low-priority", no_argument, &options.lowPriority, 1},
      {nullptr, 0, nullptr, 0},
  };
  try {
    optind = 0;  // a full restart of getopt's scan, also for a second parse in one process
    for (;;) {
      const int option = getopt_long(argc, words.data(), kShortOptions, longOptions, nullptr);
      if (option == -1) break;
      if (option == 0) continue;  // a flag entry stored its 1
      if (option == 'h' || option == kHelp) {
        PrintUsage(err, program);
        return 0;
      }
      std::optional<int> exitCode;
      ParseOption(option, argc, words.data(), options, selfTest, exitCode);
      if (exitCode) return exitCode;
    }
    CheckAfterLastOption(argc, words.data(), options);
  } catch (const std::runtime_error& error) {
    std::fprintf(err, "%s: %s\n", program, error.what());
    PrintUsage(err, program);
    return 1;
  } catch (...) {
    PrintUsage(err, program);
    return 1;
  }
  return std::nullopt;
}

void PublishOptionValues(const CommandLineOptions& options) {
  Verbosity = options.Verbosity;
  AddressFamily = options.AddressFamily;
  UpdatePolicy = options.UpdatePolicy;
  NoNtpFlag = options.noNtp;
  WatchdogModeFlag = options.watchdogMode;
  if (options.QueryChallenge) {
    QueryChallenge.challenge = *options.QueryChallenge;
    QueryChallenge.queryMode = 1;
  }
  if (options.DelegatedPublicKey) {
    delegatedPublicKeyBytes = *options.DelegatedPublicKey;
    DelegatedPublicKey = delegatedPublicKeyBytes.data();
  }
  if (options.RewardPuzzleHash) RewardPuzzleHash = *options.RewardPuzzleHash;
}
