#include "runtime/option_values.h"

int32_t Verbosity = 0;
int32_t AddressFamily = kAddressFamilyAny;
uint8_t UpdatePolicy = kDefaultUpdatePolicy;
int32_t NoNtpFlag = 0;
int32_t WatchdogModeFlag = 0;
std::array<char, kWorkerNameBytes> WorkerName{};
std::array<uint8_t, 32> RewardPuzzleHash{};
QueryChallengeValue QueryChallenge;
