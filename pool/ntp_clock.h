#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// The offset of the system clock against an NTP server, in whole seconds, checked over SNTP at
// most once per 600 s and only again once the steady and system clocks have moved against each
// other by more than 9 s. Used by the pool client thread only; not locked.
class NtpClock {
 public:
  struct Setup {
    std::string host;  // the NTP server
    std::string service = "123";
    std::function<int64_t()> systemSeconds = SystemSeconds;
    std::function<int64_t()> steadySeconds = SteadySeconds;
    // Each of the three attempts waits this long for the reply.
    std::chrono::milliseconds replyTimeout{5000};
  };

  explicit NtpClock(Setup setup) : setup_(std::move(setup)) {}

  // Server time minus system time, on a random half of the calls, and 0 on the others and until
  // a query has succeeded. Failures to reach the server are logged; errors of the socket calls
  // ("setsockopt", "send", "recv", or a failed connect) are thrown.
  int64_t GetOffset();

  static int64_t SystemSeconds();
  static int64_t SteadySeconds();

 private:
  // The server's Unix time, or 0 after three attempts without a good reply.
  int64_t QueryServerTime();

  Setup setup_;
  int64_t offset_ = 0;
  bool valid_ = false;
  int64_t clockDifference_ = 0;  // steady seconds minus system seconds at the last query
  int64_t lastQuery_ = INT64_MIN;
};

// Unix seconds from the transmit seconds of an NTP reply. A clear top bit means the era that
// begins on 7 February 2036 (the rule of RFC 4330, section 3).
int64_t NtpSecondsToUnix(uint32_t ntpSeconds);
