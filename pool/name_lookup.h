#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One result of a name lookup: what a datagram socket to it is made of.
struct ResolvedAddress {
  int family = AF_UNSPEC;
  int socketType = SOCK_DGRAM;
  int protocol = 0;
  sockaddr_storage address{};
  socklen_t addressLength = 0;
};

// Looks `node` up for datagram sockets of `family` (AF_UNSPEC for either) and `service` (empty for
// none), results in the order the lookup gives them. Returns 0, or a getaddrinfo error code
// whose text gai_strerror gives. The pool connection takes this as a parameter so that tests
// resolve no real name.
using NameLookup = std::function<int(const std::string& node, const std::string& service,
                                     int family, std::vector<ResolvedAddress>& results)>;

// getaddrinfo with `flags` for datagram sockets, its results appended to `results`.
int LookUpAddresses(const std::string& node, const std::string& service, int family, int flags,
                    std::vector<ResolvedAddress>& results);

// The system resolver: getaddrinfo with AI_ADDRCONFIG.
int SystemNameLookup(const std::string& node, const std::string& service, int family,
                     std::vector<ResolvedAddress>& results);

// The numeric text of an IPv4 or IPv6 result ("192.0.2.1", "2001:db8::1").
std::string AddressText(const ResolvedAddress& result);
