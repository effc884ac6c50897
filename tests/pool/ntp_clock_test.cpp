#include "pool/ntp_clock.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

using Packet = std::vector<uint8_t>;

// An SNTP server on an ephemeral 127.0.0.1 port that answers the n-th request with the n-th
// scripted packet; an empty packet means no answer.
class FakeNtpServer {
 public:
  explicit FakeNtpServer(std::vector<Packet> script) : script_(std::move(script)) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    const timeval poll{0, 20000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &poll, sizeof poll);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeNtpServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::string Port() const { return std::to_string(port_); }
  int Requests() const { return requests_; }

 private:
  void Serve() {
    while (!stop_) {
      uint8_t request[64];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      if (recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &length) !=
          48 || request[0] != 0x1B) {
        continue;
      }
      const size_t n = requests_++;
      if (n < script_.size() && !script_[n].empty()) {
        sendto(fd_, script_[n].data(), script_[n].size(), 0, reinterpret_cast<sockaddr*>(&from),
               length);
      }
    }
  }
  std::vector<Packet> script_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> requests_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Packet Reply(uint8_t first, uint32_t seconds, size_t size = 48) {
  Packet packet(size);
  packet[0] = first;
  for (int i = 0; i < 4; ++i) packet[40 + i] = static_cast<uint8_t>(seconds >> (24 - 8 * i));
  return packet;
}

constexpr uint32_t kNtpNow = 3800000000u;  // Unix 1591011200
constexpr int64_t kUnixNow = kNtpNow - 2208988800;

struct Clocks {
  int64_t system = kUnixNow, steady = 5000;
  void Advance(int64_t seconds) {
    system += seconds;
    steady += seconds;
  }
  NtpClock Make(const FakeNtpServer& server) {
    return NtpClock({"127.0.0.1", server.Port(), [this] { return system; },
                     [this] { return steady; }, std::chrono::milliseconds(100)});
  }
};

// Every result of `calls` further calls: the offset is given on about half of them.
std::set<int64_t> Results(NtpClock& clock, int calls = 64) {
  std::set<int64_t> results;
  for (int i = 0; i < calls; ++i) results.insert(clock.GetOffset());
  return results;
}

const char* const kOff = "WARNING: System time is off by more than a minute";
const char* const kFailed = "WARNING: Failed to query NTP service. Mining require correct system";

}  // namespace

TEST(NtpClock, RepliesRetriesAndWarnings) {
  struct Row {
    std::vector<Packet> script;
    int64_t systemBehind;
    std::set<int64_t> results;
    int requests;
    std::vector<const char*> logged;
  };
  for (const Row& row : std::vector<Row>{
           {{Reply(0x1C, kNtpNow)}, 60, {0, 60}, 1, {}},
           {{Reply(0x1C, kNtpNow)}, -61, {0, -61}, 1, {kOff}},
           {{{}, Reply(0x1C, kNtpNow, 47), Reply(0x1C, kNtpNow)}, 5, {0, 5}, 3,
            {"Wrong NTP packet size"}},
           {{Reply(0x24, kNtpNow), Reply(0x1C, 0), {}}, 5, {0}, 3, {kFailed}},
           {{Reply(0x1C, 2208988800u)}, 5, {0}, 1, {kFailed}},
           // Past the 2036 rollover the top bit is clear.
           {{Reply(0x1C, 16)}, kUnixNow - 2085978507, {0, 5}, 1, {}}}) {
    FakeNtpServer server(row.script);
    Clocks clocks;
    clocks.system -= row.systemBehind;
    NtpClock clock = clocks.Make(server);
    testing::internal::CaptureStdout();
    const std::set<int64_t> results = Results(clock);
    const std::string log = testing::internal::GetCapturedStdout();
    SCOPED_TRACE(log);
    EXPECT_EQ(results, row.results);
    EXPECT_EQ(server.Requests(), row.requests);
    for (const char* line : {kOff, kFailed, "Wrong NTP packet size"}) {
      const bool expected = std::count(row.logged.begin(), row.logged.end(), line) > 0;
      EXPECT_EQ(log.find(line) != std::string::npos, expected) << line;
    }
  }
}

TEST(NtpClock, QueriesAtMostEvery600SecondsAndOnlyWhenTheClocksDrift) {
  FakeNtpServer server({{}, {}, {}, Reply(0x1C, kNtpNow + 601 + 7), Reply(0x1C, kNtpNow + 1232)});
  Clocks clocks;
  NtpClock clock = clocks.Make(server);
  testing::internal::CaptureStdout();
  const int64_t failed = clock.GetOffset();
  clocks.Advance(600);
  const std::set<int64_t> unasked = Results(clock, 4);
  const int afterFailure = server.Requests();
  clocks.Advance(1);
  const std::set<int64_t> first = Results(clock);
  clocks.Advance(300);
  const std::set<int64_t> held = Results(clock);
  // The system clock is set forward by 10 s: asked again once 600 s have passed.
  clocks.system += 10;
  const std::set<int64_t> drifted = Results(clock);
  const int beforeSecond = server.Requests();
  clocks.Advance(301);
  const std::set<int64_t> second = Results(clock);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(unasked, std::set<int64_t>{0});
  EXPECT_EQ(afterFailure, 3);
  EXPECT_EQ(first, (std::set<int64_t>{0, 7}));
  EXPECT_EQ(held, first);
  EXPECT_EQ(drifted, first);
  EXPECT_EQ(beforeSecond, 4);
  EXPECT_EQ(second, (std::set<int64_t>{0, 20}));
  EXPECT_EQ(server.Requests(), 5);
}
