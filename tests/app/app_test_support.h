#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "chia/bech32.h"
#include "chia/bls/g1_element.h"
#include "chia/chia_address.h"

namespace app_test {

// The usage text as a user sees it, for the given program name.
inline std::string ExpectedUsage(const std::string& program) {
  static const char kTemplate[] = R"EXPECTED(
Usage
  %s -d <path> [-d <path>] [-a <address>] [other options]

Options:
  -a <address>    chia address for receiving reward
  -d <path>       directory where plots and temporary files will be stored (required),
                  optionally includes size, plot count and file type limitations
                    -d[,<size>][,<count>N][,[~]<types>][,r] <path>
                  where <size> should be specified with one of the following suffixes:
                    B, KB, MB, GB, TB (bytes, kibibytes, mebibytes, etc)
                  <types> is a set of letters defining file types that are allowed
                  or disallowed (if ~ is used) in this directory:
                    t - temporary files
                    s - sparse plots
                    f - final plots
                  for example: -d,ts <path>
                  [,r] - to define read-only directory for mining only
                  option -d can be used multiple times:
                    -d,t <path1> -d,4TB <path2> -d,1TB,ts <path3> -d,r <path4>
  -c <level>      compression level (1-5) for new plots (default is 1)
  -m <size>       amount of RAM to use during plotting or finalization
  -w <name>       worker name displayed on the website
  -p [password]   password used for delegated plotting
                  if "-p" is specified without password,
                  it will be asked at program startup
  -k <publickey>  public key used for delegated plotting
                  new plots will be generated for this public key
  -s <path>       directory for settings and cache files
                  specify current directory "." to make client portable
                  you can run the client from readonly or nonpersistent file system
                  but settings and cache should always be located in
                  writable persistent directory
                  (default is $XDG_CONFIG_HOME/VarnokChiaPool)
  -u <policy>     automatic update policy:
                    0 - turn automatic updates off
                    1 - critical updates only (protocol changes, etc)
                    2 - security updates
                    3 - performance improvements
                    4 - any new version (default)
  -4 -6           use IPv4 or IPv6 (by default both are used)
  --p-threads <count>
                  number of plotting and finalization threads
  --m-threads <count>
                  number of mining threads
  --r-threads <count>
                  number of read threads, increase it for a high latency storage
  --no-rescan
                  do not scan directories for new plots after startup
  --no-benchmark
                  do not run benchmark at startup
  --no-plotting
                  do not make new plots
  --no-finalizing
                  do not finalize existing sparse plots
  --skip-test
                  embed secret keys into plots with public keys without testing
  --check-plots
                  test all plots for errors
  --low-priority
                  lower mining threads priority
  --no-ntp
                  do not check system clock

Example:
  ./client -d,1TB /mnt/plot_storage1 -d /mnt/plot_storage2 -a xch1...ejh
  ./client -d,t /tmp -d,~t /mnt/plot_storage -a xch1...ejh

)EXPECTED";
  std::string text = kTemplate;
  const size_t at = text.find("%s");
  return text.replace(at, 2, program);
}

// The blank-separated words of the text.
inline std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = 0;
  while ((start = text.find_first_not_of(' ', start)) != std::string::npos) {
    const size_t end = std::min(text.find(' ', start), text.size());
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

// An "xch" address (bech32m) of the puzzle hash.
inline std::string AddressOf(const std::array<uint8_t, 32>& puzzleHash) {
  std::vector<uint8_t> groups;
  Bech32ConvertBits(groups, puzzleHash.data(), puzzleHash.data() + puzzleHash.size());
  return Bech32mEncode("xch", groups);
}

inline std::array<uint8_t, 32> SamplePuzzleHash() {
  std::array<uint8_t, 32> hash;
  for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0xA0 + 3 * i);
  return hash;
}

// The G1 generator: a valid public key, and its text.
inline std::array<uint8_t, 48> GeneratorKey() {
  std::array<uint8_t, 48> key;
  bls::G1Element::Generator().Serialize(key.data());
  return key;
}

inline std::string KeyText(const std::array<uint8_t, 48>& key) {
  return EncodeKeyBech32m(key.data());
}

// 48 bytes in the compressed form whose x lies above the field prime: no point.
inline std::array<uint8_t, 48> OffCurveKey() {
  std::array<uint8_t, 48> key;
  key.fill(0xFF);
  key[0] = 0x9A;
  return key;
}

}  // namespace app_test
