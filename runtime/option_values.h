#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Option values of the command line that threads of other subsystems read. The entry point
// writes them before any thread starts; they are only read afterwards.

inline constexpr int32_t kAddressFamilyAny = 0;
inline constexpr int32_t kAddressFamilyIpv4 = 2;   // AF_INET
inline constexpr int32_t kAddressFamilyIpv6 = 10;  // AF_INET6

inline constexpr uint8_t kDefaultUpdatePolicy = 4;
inline constexpr size_t kWorkerNameBytes = 16;

extern int32_t Verbosity;
extern int32_t AddressFamily;
extern uint8_t UpdatePolicy;  // 0 no updates .. 4 any new version
extern int32_t NoNtpFlag;
extern int32_t WatchdogModeFlag;
// Not NUL-terminated when the name has all 16 characters.
extern std::array<char, kWorkerNameBytes> WorkerName;
extern std::array<uint8_t, 32> RewardPuzzleHash;

// The challenge of --query; queryMode is set when the option was given.
struct QueryChallengeValue {
  std::array<uint8_t, 32> challenge{};
  uint8_t queryMode = 0;
};
extern QueryChallengeValue QueryChallenge;
