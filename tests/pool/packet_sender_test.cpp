// Sending copies of a datagram to a receiver on loopback, and the re-senders' end.
#include "pool/packet_sender.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pool/pool_session.h"
#include "pool/pool_socket.h"
#include "runtime/stop_requested.h"
#include "tests/support/child_process.h"

namespace {

// A UDP receiver on 127.0.0.25 and a client socket connected to it.
struct Loopback {
  int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // first: takes the lowest number
  int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Loopback() {
    sockaddr_in a{AF_INET, 0, {htonl(0x7f000019)}, {}};
    socklen_t n = sizeof a;
    bind(receiver, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &n);
    timeval wait{0, 300000};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&a), n), 0);
  }
  ~Loopback() { close(receiver); }
  // Datagrams of 548 bytes that arrive before a 300 ms pause.
  int Count() const {
    uint8_t buffer[600];
    int copies = 0;
    while (recv(receiver, buffer, sizeof buffer, 0) == 548) ++copies;
    return copies;
  }
};

const Packet kPacket{4, 1, 2, 3};

std::string LoggedAfterResends(const std::function<void()>& run) {
  testing::internal::CaptureStdout();
  run();
  WaitForResenders();
  return testing::internal::GetCapturedStdout();
}

TEST(PacketSender, CopiesFollowCountAndMultiplierUntilCancelled) {
  struct Row {
    uint8_t multiplier;
    int32_t count, windowMs;
    int copies;
  } rows[] = {{0, 4, 300, 1}, {1, 0, 300, 0}, {1, 1, 300, 1},
              {1, 4, 300, 4}, {2, 2, 300, 4}, {2, 4, 700, 8}};
  for (const Row& row : rows) {
    Loopback loop;
    PoolSocketInstance().Replace(loop.client);
    PoolSessionInstance().CopyMultiplier = row.multiplier;
    PoolSessionInstance().lastSend = 0;
    SendPacket(kPacket, row.count, row.windowMs, nullptr);
    // Counted before the re-sender's thread runs: the exit-time wait cannot miss it.
    EXPECT_EQ(LiveResenders(), row.multiplier * row.count > 1 ? 1 : 0);
    WaitForResenders();
    EXPECT_EQ(LiveResenders(), 0);
    EXPECT_EQ(loop.Count(), row.copies) << int(row.multiplier) << " x " << row.count;
    EXPECT_EQ(PoolSessionInstance().lastSend > 0, row.copies > 0);
  }
  Loopback loop;
  PoolSocketInstance().Replace(loop.client);
  PoolSessionInstance().CopyMultiplier = 1;
  PoolSessionInstance().clientTime = 5;
  const CancelPredicate cancel = HelloResendCancel(5);
  EXPECT_FALSE(cancel());
  // The reply came before the re-sender's first look (set after SendPacket, a slow machine
  // could let a copy out first).
  PoolSessionInstance().clientTime = 0;
  EXPECT_TRUE(cancel());
  SendPacket(kPacket, 4, 600, &cancel);
  WaitForResenders();
  EXPECT_EQ(loop.Count(), 1);
  const CancelPredicate failing = []() -> bool { throw std::runtime_error("predicate failed"); };
  EXPECT_NE(LoggedAfterResends([&] {
              SendPacket(kPacket, 2, 10, &failing);
            }).find("ERROR: error sending packet: predicate failed\n"),
            std::string::npos);
  EXPECT_EQ(loop.Count(), 1);
  EXPECT_EQ(LiveResenders(), 0);
  PoolSocketInstance().Close();
}

TEST(PacketSender, FailuresAreLoggedAndACloseStopsCopiesReachingAnotherSocket) {
  const std::string badFd = "ERROR: error sending packet: send: Bad file descriptor\n";
  PoolSessionInstance().CopyMultiplier = 1;
  PoolSocketInstance().Close();  // the caller's own copy fails: logged, not thrown
  const std::string early = LoggedAfterResends([] { SendPacket(kPacket, 1, 100, nullptr); });
  EXPECT_NE(early.find(badFd), std::string::npos) << early;
  Loopback first;
  PoolSocketInstance().Replace(first.client);
  int otherFd = -1, otherCopies = -1;
  const std::string log = LoggedAfterResends([&] {
    SendPacket(kPacket, 3, 600, nullptr);
    PoolSocketInstance().Close();
    Loopback other;  // takes the closed descriptor's number
    WaitForResenders();
    otherFd = other.client, otherCopies = other.Count();
    close(other.client);
  });
  EXPECT_EQ(otherFd, first.client);
  EXPECT_EQ(otherCopies, 0);
  EXPECT_EQ(first.Count(), 1);
  EXPECT_NE(log.find(badFd), std::string::npos) << log;
}

TEST(PacketSender, AStopRequestEndsTheCopiesAfterTheFirst) {
  EXPECT_EQ(RunInChild([] {
              Loopback loop;
              PoolSocketInstance().Replace(loop.client);
              StopRequested = true;
              SendPacket(kPacket, 4, 100, nullptr);
              WaitForResenders();
              return loop.Count();
            }),
            1);
}

}  // namespace
