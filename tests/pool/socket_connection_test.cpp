#include "pool/socket_connection.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include "tests/support/thrown_text.h"

TEST(ConnectSocket, TimeLimitsFamiliesAndErrors) {
  // Numeric addresses only: no name server is asked.
  const NameLookup both = [](const std::string&, const std::string& service, int family,
                             auto& out) {
    for (const char* node : {"::1", "127.0.0.1"})
      LookUpAddresses(node, service, family, AI_NUMERICHOST, out);
    return 0;
  };
  // IPv6 is listed first, IPv4 is tried first.
  for (const auto& [timeout, micros] : {std::pair{3.0, 3000000}, {2.5, 2500000}, {-1.0, 0}}) {
    int fd = ConnectSocket("both", "8708", timeout, both, AF_UNSPEC);
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    EXPECT_EQ(local.ss_family, AF_INET) << timeout;
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      timeval limit{};
      getsockopt(fd, SOL_SOCKET, option, &limit, &(size = sizeof limit));
      EXPECT_EQ(limit.tv_sec * 1000000 + limit.tv_usec, micros);
    }
    CloseSocket(fd);
    EXPECT_EQ(fd, -1);
  }
  EXPECT_EQ(ThrownText([] { ConnectSocket("255.255.255.255", "9", -1); }),
            "Can't connect to 255.255.255.255");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConnectSocket(
                "x", "9", 1, [](auto&&...) { return EAI_NONAME; }, 0),
            -1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(std::string("resolution failed: ") + gai_strerror(EAI_NONAME)),
            std::string::npos);
}
