#pragma once

#include <sys/time.h>

#include <cstdint>
#include <string>

#include "pool/name_lookup.h"

// A connected datagram socket to `node` (name or numeric address) and `service` (a port such as
// "8708"), IPv4 results tried before IPv6 ones, for the command line's address family. With
// `timeout` >= 0 (seconds) sends and receives time out after it. Returns -1 after logging
// "Domain name resolution failed: <reason>"; throws std::runtime_error "Can't connect to <node>"
// when no result could be connected.
int ConnectSocket(const std::string& node, const std::string& service, double timeout);
int ConnectSocket(const std::string& node, const std::string& service, double timeout,
                  const NameLookup& lookup, int32_t family);

// Shuts a socket down both ways and closes it, unless it is -1; then sets it to -1.
void CloseSocket(int& fd);

// Closes its socket when it goes out of scope.
class SocketCloser {
 public:
  explicit SocketCloser(int& fd) : fd_(fd) {}
  ~SocketCloser() { CloseSocket(fd_); }
  SocketCloser(const SocketCloser&) = delete;
  SocketCloser& operator=(const SocketCloser&) = delete;

 private:
  int& fd_;
};

// The system's text for the current errno.
std::string ErrnoString();

// Throws std::runtime_error "<call>: <errno text>", or the errno text alone without a call name.
[[noreturn]] void ThrowSystemCallError(const char* call);

// Whole seconds and the microseconds of the fraction: 2.5 -> {2, 500000}.
timeval SocketTimeout(double seconds);
