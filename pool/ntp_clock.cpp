#include "pool/ntp_clock.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <random>

#include "chia/seeded_random.h"
#include "pool/socket_connection.h"
#include "runtime/console_logger.h"

namespace {

constexpr size_t kPacketBytes = 48;
constexpr uint8_t kClientRequest = 0x1B;  // no leap warning, version 3, mode 3 (client)
constexpr uint8_t kServerReply = 0x1C;    // no leap warning, version 3, mode 4 (server)
constexpr int kAttempts = 3;
constexpr int64_t kQueryIntervalSeconds = 600;
constexpr int64_t kClockDriftSeconds = 9;
constexpr int64_t kWarnOffsetSeconds = 60;
constexpr int64_t kUnixEpochInNtpEra0 = 2208988800;

}  // namespace

int64_t NtpSecondsToUnix(uint32_t ntpSeconds) {
  const int64_t eraStart = (ntpSeconds & 0x80000000u) != 0 ? 0 : int64_t{1} << 32;
  return eraStart + ntpSeconds - kUnixEpochInNtpEra0;
}

int64_t NtpClock::SystemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t NtpClock::SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t NtpClock::GetOffset() {
  const int64_t system = setup_.systemSeconds();
  const int64_t steady = setup_.steadySeconds();
  const int64_t difference = steady - system;
  const bool clocksHeld = valid_ && std::llabs(clockDifference_ - difference) <= kClockDriftSeconds;
  if (!clocksHeld) {
    if (steady <= lastQuery_ + kQueryIntervalSeconds) {
      if (!valid_) return 0;
    } else {
      lastQuery_ = steady;
      const int64_t serverTime = QueryServerTime();
      if (serverTime != 0) {
        offset_ = serverTime - system;
        if (std::llabs(offset_) > kWarnOffsetSeconds) {
          LogLine("WARNING: System time is off by more than a minute, please fix it.");
        }
        valid_ = true;
        clockDifference_ = difference;
      } else {
        LogLine(
            "WARNING: Failed to query NTP service. Mining require correct system time. Make sure "
            "the system clock is correct or connection will fail.");
        if (!valid_) return 0;
      }
    }
  }
  thread_local std::mt19937_64 rng = MakeSeededMt19937_64();
  return (rng() & 1) != 0 ? offset_ : 0;
}

int64_t NtpClock::QueryServerTime() {
  int fd = ConnectSocket(setup_.host, setup_.service, -1.0);
  if (fd == -1) return 0;
  SocketCloser closer(fd);
  const timeval limit = SocketTimeout(std::chrono::duration<double>(setup_.replyTimeout).count());
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    ThrowSystemCallError("setsockopt");
  }
  std::array<uint8_t, kPacketBytes> request{};
  request[0] = kClientRequest;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
      ThrowSystemCallError("send");
    }
    std::array<uint8_t, kPacketBytes> reply{};
    ssize_t got;
    do {
      got = recv(fd, reply.data(), reply.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      ThrowSystemCallError("recv");
    }
    if (got != static_cast<ssize_t>(kPacketBytes)) {
      LogLine("Wrong NTP packet size");
      continue;
    }
    const uint32_t seconds = static_cast<uint32_t>(reply[40]) << 24 |
                             static_cast<uint32_t>(reply[41]) << 16 |
                             static_cast<uint32_t>(reply[42]) << 8 | reply[43];
    if (reply[0] == kServerReply && seconds != 0) return NtpSecondsToUnix(seconds);
  }
  return 0;
}
