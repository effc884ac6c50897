#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "manager/directory_spec.h"

// Everything the command line sets: the entry point's own values and, until they are published,
// the process-wide option values that other subsystems read.
struct CommandLineOptions {
  uint32_t plottingThreads = 0;
  uint32_t miningThreads = 0;
  uint32_t readThreads = 0;
  uint32_t compressionLevelMinusOne = 0;
  int64_t memoryAmount = 0;  // bytes, 0 = automatic
  std::vector<DirectorySpec> directories;
  std::optional<std::string> rewardAddress;
  std::optional<std::string> WorkerName;
  std::optional<std::string> SettingsFolder;
  std::vector<std::string> passwords;  // the ones given on the command line
  uint32_t passwordCount = 0;          // one per -p, given or to be asked for
  uint8_t ipv4 = 0;
  uint8_t ipv6 = 0;
  // Set through the long option table, which stores 1 in them.
  int32_t noFinalizing = 0;
  int32_t noPlotting = 0;
  int32_t noRescan = 0;
  int32_t noBenchmark = 0;
  int32_t skipTest = 0;
  int32_t checkPlots = 0;
  int32_t lowPriority = 0;
  int32_t watchdogMode = 0;
  int32_t noNtp = 0;

  int32_t Verbosity = 0;
  int32_t AddressFamily = 0;
  uint8_t UpdatePolicy = 4;
  std::optional<std::array<uint8_t, 32>> QueryChallenge;
  std::optional<std::array<uint8_t, 48>> DelegatedPublicKey;
  std::optional<std::array<uint8_t, 32>> RewardPuzzleHash;
};

// The defaults before parsing: hardwareThreads plotting threads and half of them (rounded up)
// mining threads.
CommandLineOptions DefaultCommandLineOptions(unsigned hardwareThreads);

// Parses argv into options. Returns the exit code when the process is to end now: 0 after -h
// or a passed self-test (selfTest runs for --internal-tests), 1 after a bad command line, which
// is reported on err as "<argv[0]>: <message>" and the usage text, or as the usage text alone
// (unknown options, missing arguments, a challenge that is not hexadecimal). With no argument
// at all the usage text is printed and the run goes on with the defaults.
std::optional<int> ParseCommandLine(int argc, char* const argv[], CommandLineOptions& options,
                                    const std::function<void()>& selfTest, FILE* err);

// Writes the process-wide option values (Verbosity, AddressFamily, UpdatePolicy, NoNtpFlag,
// WatchdogModeFlag, QueryChallenge, DelegatedPublicKey, RewardPuzzleHash).
void PublishOptionValues(const CommandLineOptions& options);

// --p-threads, --m-threads, --r-threads: a positive decimal count that fits 32 bits.
uint32_t ParseThreadCount(const char* text);
// -m: a non-negative number with a size suffix, in bytes.
int64_t ParseMemoryAmount(const char* text);
// -k: a "g" public key in bech32 or bech32m text that is a valid point.
std::array<uint8_t, 48> ParseDelegatedPublicKey(const char* text);
