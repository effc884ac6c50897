#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pool/name_lookup.h"
#include "pool/settings.h"

enum class CandidateKind : int32_t { CachedList = 1, HostName = 2, LiteralAddress = 4 };

// Where the resolver looks and what it may not take, injected so tests need neither the real
// clock nor the system resolver.
struct ResolverSetup {
  std::filesystem::path addressFolder;    // holds the optional "addresses" and "addresses.txt"
  std::vector<std::string> defaultHosts;  // tried when the address files name nothing
  std::string resolverAddress;            // what a resolver answers for unknown names
  int32_t addressFamily = 0;              // AF_UNSPEC, AF_INET (-4) or AF_INET6 (-6)
  std::function<int64_t()> now;           // Unix seconds
  NameLookup lookup;
  std::function<void()> saveCache;  // after each resolution that was stored
};

// The running program's setup: the address files next to the executable, the command line's
// address family, the system clock and resolver, and SaveCache.
ResolverSetup SystemResolverSetup(std::vector<std::string> defaultHosts,
                                  std::string resolverAddress);

// Picks the pool server address of each connection attempt from the addresses cached at the last
// handshake, the names and literals of the address files (or the default hosts) and a name cache
// that keeps each resolution for 600 s. One per pool client thread.
class ServerResolver {
 public:
  ServerResolver(ResolverSetup setup, SettingsCache& cache);

  // The next address to try, or empty text when nothing can be offered now (the caller waits a
  // few seconds and asks again). Asks for at most one new round of candidates per call, so names
  // that give nothing usable never keep the caller busy.
  std::string NextAddress();

  // Appends the words of one file (host names, IPv4 or IPv6 literals; a word starting with "#" is
  // skipped). A file that cannot be opened adds nothing.
  void LoadAddressFile(const std::filesystem::path& path);

  // Kept after NextAddress: a session that succeeded with a HostName candidate stores Resolved()
  // as the cached server addresses.
  CandidateKind CurrentKind() const { return currentKind_; }
  const std::vector<std::string>& Resolved() const { return resolved_; }

 private:
  struct AddressCandidate {
    CandidateKind kind;
    int32_t index;
  };

  void Refill();
  // Sets resolved_ to the usable addresses of the host name; false when there are none now.
  // Fills `wait` instead when the name was tried too recently.
  bool ResolveHost(const std::string& name, bool& wait);
  std::string PickResolved();

  ResolverSetup setup_;
  SettingsCache& cache_;
  std::mt19937 rng_;
  std::deque<AddressCandidate> candidates_;
  std::map<std::string, int64_t> lastAttempt_;
  CandidateKind currentKind_ = CandidateKind::CachedList;
  std::vector<std::string> hostNames_;
  std::vector<std::string> literalAddresses_;
  std::vector<std::string> resolved_;
};
