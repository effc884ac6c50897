#include "pool/socket_connection.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "runtime/console_logger.h"
#include "runtime/option_values.h"

int ConnectSocket(const std::string& node, const std::string& service, double timeout) {
  return ConnectSocket(node, service, timeout, SystemNameLookup, AddressFamily);
}

int ConnectSocket(const std::string& node, const std::string& service, double timeout,
                  const NameLookup& lookup, int32_t family) {
  std::vector<ResolvedAddress> results;
  const int error = lookup(node, service, family, results);
  if (error != 0) {
    LogLine(std::string("Domain name resolution failed: ") + gai_strerror(error));
    return -1;
  }
  const timeval limit = SocketTimeout(timeout);
  for (const int pass : {AF_INET, AF_INET6}) {
    for (const ResolvedAddress& result : results) {
      if (result.family != pass) continue;
      int fd = socket(result.family, result.socketType | SOCK_CLOEXEC, result.protocol);
      if (fd < 0) continue;
      if (timeout >= 0 && (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
                           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)) {
        CloseSocket(fd);
        continue;
      }
      if (connect(fd, reinterpret_cast<const sockaddr*>(&result.address), result.addressLength) ==
          0) {
        return fd;
      }
      CloseSocket(fd);
    }
  }
  throw std::runtime_error("Can't connect to " + node);
}

void CloseSocket(int& fd) {
  if (fd == -1) return;
  shutdown(fd, SHUT_RDWR);
  close(fd);
  fd = -1;
}

std::string ErrnoString() { return std::strerror(errno); }

void ThrowSystemCallError(const char* call) {
  const std::string reason = ErrnoString();
  throw std::runtime_error(call == nullptr ? reason : std::string(call) + ": " + reason);
}

timeval SocketTimeout(double seconds) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(seconds);
  limit.tv_usec = static_cast<suseconds_t>(1000000 * (seconds - static_cast<double>(limit.tv_sec)));
  return limit;
}
