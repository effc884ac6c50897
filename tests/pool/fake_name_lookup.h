#pragma once

#include <arpa/inet.h>
#include <netdb.h>

#include <map>
#include <string>
#include <vector>

#include "pool/name_lookup.h"

// A name lookup over a table of literals: only the asked family, EAI_NONAME for names it does not
// hold. It counts its calls and keeps the last family asked.
struct FakeNameLookup {
  std::map<std::string, std::vector<std::string>> table;
  int calls = 0;
  int lastFamily = -1;

  static ResolvedAddress Literal(const std::string& text, uint16_t port) {
    ResolvedAddress result;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&result.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&result.address);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
      result.family = v4->sin_family = AF_INET;
      v4->sin_port = htons(port);
      result.addressLength = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
      result.family = v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(port);
      result.addressLength = sizeof(sockaddr_in6);
    }
    return result;
  }

  NameLookup Lookup() {
    return [this](const std::string& node, const std::string& service, int family,
                  std::vector<ResolvedAddress>& results) {
      ++calls;
      lastFamily = family;
      const auto found = table.find(node);
      if (found == table.end()) return EAI_NONAME;
      for (const std::string& text : found->second) {
        ResolvedAddress result = Literal(text, service.empty() ? 0 : std::stoi(service));
        if (family == AF_UNSPEC || family == result.family) results.push_back(result);
      }
      return 0;
    };
  }
};
