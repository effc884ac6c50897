#include "pool/name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

int SystemNameLookup(const std::string& node, const std::string& service, int family,
                     std::vector<ResolvedAddress>& results) {
  return LookUpAddresses(node, service, family, AI_ADDRCONFIG, results);
}

int LookUpAddresses(const std::string& node, const std::string& service, int family, int flags,
                    std::vector<ResolvedAddress>& results) {
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  const int error =
      getaddrinfo(node.c_str(), service.empty() ? nullptr : service.c_str(), &hints, &list);
  if (error != 0) return error;
  for (const addrinfo* info = list; info != nullptr; info = info->ai_next) {
    if (info->ai_addrlen > sizeof(sockaddr_storage)) continue;
    ResolvedAddress& result = results.emplace_back();
    result.family = info->ai_family;
    result.socketType = info->ai_socktype;
    result.protocol = info->ai_protocol;
    std::memcpy(&result.address, info->ai_addr, info->ai_addrlen);
    result.addressLength = info->ai_addrlen;
  }
  freeaddrinfo(list);
  return 0;
}

std::string AddressText(const ResolvedAddress& result) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = nullptr;
  if (result.family == AF_INET) {
    raw = &reinterpret_cast<const sockaddr_in&>(result.address).sin_addr;
  } else if (result.family == AF_INET6) {
    raw = &reinterpret_cast<const sockaddr_in6&>(result.address).sin6_addr;
  }
  if (raw == nullptr || inet_ntop(result.family, raw, text, sizeof text) == nullptr) return {};
  return text;
}
