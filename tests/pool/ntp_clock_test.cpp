#include "pool/ntp_clock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace {

using NtpReply = std::tuple<uint8_t, uint32_t, size_t>;  // first byte, seconds, size (0: none)
constexpr uint32_t kNtpNow = 3800000000u;
constexpr int64_t kUnixNow = kNtpNow - 2208988800;

// An SNTP server on an ephemeral 127.0.0.1 port that answers the n-th request with the n-th
// scripted packet (the last one from then on; an empty one is no answer), and an NtpClock on
// settable clocks that asks it.
struct NtpRig {
  explicit NtpRig(std::vector<NtpReply> script) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    const timeval poll{0, 20000};
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &poll, sizeof poll);
    clock.emplace(NtpClock::Setup{"127.0.0.1", std::to_string(ntohs(address.sin_port)),
                                  [this] { return system; }, [this] { return steady; },
                                  std::chrono::milliseconds(300)});
    server = std::thread([this, script] {
      uint8_t request[64];
      sockaddr_in from{};
      for (socklen_t size = sizeof from; !stop; size = sizeof from) {
        if (recvfrom(fd, request, 64, 0, reinterpret_cast<sockaddr*>(&from), &size) != 48) continue;
        const auto [first, seconds, bytes] =
            script[std::min<size_t>(requests++, script.size() - 1)];
        std::vector<uint8_t> reply(48);
        reply[0] = first;
        for (int i = 0; i < 4; ++i) reply[40 + i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
        if (request[0] == 0x1B && bytes > 0)
          sendto(fd, reply.data(), bytes, 0, reinterpret_cast<sockaddr*>(&from), size);
      }
    });
  }
  ~NtpRig() {
    stop = true;
    server.join();
    close(fd);
  }
  // Every result of `calls` calls: the offset is given on about half of them.
  std::set<int64_t> Results(int calls = 64) {
    std::set<int64_t> results;
    while (calls-- > 0) results.insert(clock->GetOffset());
    return results;
  }

  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::atomic<int> requests{0};
  std::atomic<bool> stop{false};
  int64_t system = kUnixNow, steady = 5000;
  std::optional<NtpClock> clock;
  std::thread server;
};

}  // namespace

TEST(NtpClock, RepliesRetriesAndWarnings) {
  const char* const off = "WARNING: System time is off by more than a minute, please fix it.";
  const char* const failed = "WARNING: Failed to query NTP service. Mining require correct system";
  const char* const size = "Wrong NTP packet size";
  using Row = std::tuple<std::vector<NtpReply>, int64_t, std::set<int64_t>, int, const char*>;
  for (const auto& [script, systemBehind, expected, requests, logged] : std::vector<Row>{
           {{{0x1C, kNtpNow, 48}}, 60, {0, 60}, 1, nullptr},
           {{{0x1C, kNtpNow, 48}}, -61, {0, -61}, 1, off},
           {{{}, {0x1C, kNtpNow, 47}, {0x1C, kNtpNow, 48}}, 5, {0, 5}, 3, size},
           {{{0x24, kNtpNow, 48}, {0x1C, 0, 48}, {}}, 5, {0}, 3, failed},
           {{{0x1C, 2208988800u, 48}}, 5, {0}, 1, failed},
           {{{0x1C, 16, 48}}, kUnixNow - 2085978507, {0, 5}, 1, nullptr}}) {  // past 2036
    NtpRig rig(script);
    rig.system -= systemBehind;
    testing::internal::CaptureStdout();
    const std::set<int64_t> results = rig.Results();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(results, expected) << log;
    EXPECT_EQ(rig.requests, requests) << log;
    for (const char* line : {off, failed, size}) {
      EXPECT_EQ(log.find(line) != std::string::npos, line == logged) << log;
    }
  }
}
