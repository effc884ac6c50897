#include "pool/socket_connection.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include "tests/pool/fake_name_lookup.h"
#include "tests/thrown_text.h"

TEST(ConnectSocket, TimeLimitsFamiliesAndErrors) {
  FakeNameLookup names;
  names.table = {{"both.invalid", {"::1", "127.0.0.1"}}, {"six.invalid", {"::1"}},
                 {"broadcast.invalid", {"255.255.255.255"}}};
  struct Row {
    const char* node;
    double timeout;
    int family;
    int connectedFamily;
    long seconds, micros;
  };
  for (const Row& row : {Row{"both.invalid", 3.0, AF_UNSPEC, AF_INET, 3, 0},
                         Row{"both.invalid", 2.5, AF_UNSPEC, AF_INET, 2, 500000},
                         Row{"both.invalid", -1.0, AF_UNSPEC, AF_INET, 0, 0},
                         Row{"both.invalid", 1.0, AF_INET6, AF_INET6, 1, 0},
                         Row{"six.invalid", -1.0, AF_UNSPEC, AF_INET6, 0, 0}}) {
    SCOPED_TRACE(std::string(row.node) + " " + std::to_string(row.timeout));
    int fd = ConnectSocket(row.node, "8708", row.timeout, names.Lookup(), row.family);
    ASSERT_GE(fd, 0);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    EXPECT_EQ(local.ss_family, row.connectedFamily);
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      timeval limit{};
      socklen_t size = sizeof limit;
      getsockopt(fd, SOL_SOCKET, option, &limit, &size);
      EXPECT_EQ(limit.tv_sec, row.seconds);
      EXPECT_EQ(limit.tv_usec, row.micros);
    }
    CloseSocket(fd);
    EXPECT_EQ(fd, -1);
  }

  EXPECT_EQ(ThrownText([&] { ConnectSocket("six.invalid", "1", 1.0, names.Lookup(), AF_INET); }),
            "Can't connect to six.invalid");
  EXPECT_EQ(ThrownText([&] { ConnectSocket("broadcast.invalid", "9", -1, names.Lookup(), 0); }),
            "Can't connect to broadcast.invalid");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConnectSocket("unknown.invalid", "9", -1, names.Lookup(), AF_UNSPEC), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(std::string(
                "Domain name resolution failed: ") + gai_strerror(EAI_NONAME) + "\n"),
            std::string::npos);

  // A numeric host through the system resolver asks no name server.
  int fd = ConnectSocket("127.0.0.1", "9", -1.0);
  EXPECT_GE(fd, 0);
  CloseSocket(fd);
}
