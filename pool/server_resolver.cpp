#include "pool/server_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <numeric>

#include "chia/seeded_random.h"
#include "runtime/console_logger.h"
#include "runtime/option_values.h"
#include "runtime/path_utils.h"

namespace {

constexpr int64_t kCacheFreshSeconds = 86399;
constexpr int64_t kNameCacheSeconds = 600;
constexpr int64_t kRetryGuardSeconds = 2;

bool IsAddressLiteral(const std::string& word) {
  unsigned char raw[sizeof(in6_addr)];
  return inet_pton(AF_INET, word.c_str(), raw) == 1 || inet_pton(AF_INET6, word.c_str(), raw) == 1;
}

}  // namespace

ResolverSetup SystemResolverSetup(std::vector<std::string> defaultHosts,
                                  std::string resolverAddress) {
  ResolverSetup setup;
  setup.addressFolder = GetExecutablePath().parent_path();
  setup.defaultHosts = std::move(defaultHosts);
  setup.resolverAddress = std::move(resolverAddress);
  setup.addressFamily = AddressFamily;
  setup.now = [] { return static_cast<int64_t>(std::time(nullptr)); };
  setup.lookup = SystemNameLookup;
  setup.saveCache = SaveCache;
  return setup;
}

ServerResolver::ServerResolver(ResolverSetup setup, SettingsCache& cache)
    : setup_(std::move(setup)), cache_(cache), rng_(MakeSeededMt19937()) {
  LoadAddressFile(setup_.addressFolder / "addresses");
  LoadAddressFile(setup_.addressFolder / "addresses.txt");
  if (hostNames_.empty() && literalAddresses_.empty()) hostNames_ = setup_.defaultHosts;
}

void ServerResolver::LoadAddressFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string word;
  while (in >> word) {
    if (word[0] == '#') continue;
    (IsAddressLiteral(word) ? literalAddresses_ : hostNames_).push_back(word);
  }
}

void ServerResolver::Refill() {
  const auto shuffled = [this](size_t count) {
    std::vector<int32_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), rng_);
    return order;
  };
  if (hostNames_.size() == 1) {
    candidates_.push_back({CandidateKind::HostName, 0});
    candidates_.push_back({CandidateKind::HostName, 0});
  } else {
    for (const int32_t i : shuffled(hostNames_.size())) {
      candidates_.push_back({CandidateKind::HostName, i});
    }
  }
  // A clock behind the cache time also counts as fresh. Compared on the clock's side, since a
  // cache time read from the file may be anything.
  const bool fresh = cache_.CacheTime >= setup_.now() - kCacheFreshSeconds;
  for (int copy = 0; copy < 2; ++copy) {
    if (fresh) {
      candidates_.push_front({CandidateKind::CachedList, -1});
    } else {
      candidates_.push_back({CandidateKind::CachedList, -1});
    }
  }
  for (const int32_t i : shuffled(literalAddresses_.size())) {
    candidates_.push_back({CandidateKind::LiteralAddress, i});
  }
}

std::string ServerResolver::NextAddress() {
  bool refilled = false;
  for (;;) {
    if (candidates_.empty()) {
      if (refilled) return {};
      Refill();
      refilled = true;
    }
    const AddressCandidate candidate = candidates_.front();
    candidates_.pop_front();
    currentKind_ = candidate.kind;
    switch (candidate.kind) {
      case CandidateKind::CachedList: {
        const std::vector<std::string>& cached = cache_.CachedServerAddresses;
        if (!cached.empty()) return cached[rng_() % cached.size()];
        break;
      }
      case CandidateKind::LiteralAddress:
        return literalAddresses_[candidate.index];
      case CandidateKind::HostName: {
        bool wait = false;
        if (ResolveHost(hostNames_[candidate.index], wait)) return PickResolved();
        if (wait) return {};
        break;
      }
    }
  }
}

bool ServerResolver::ResolveHost(const std::string& name, bool& wait) {
  const int64_t now = setup_.now();
  const uint64_t key = NameCacheKey(name);
  const auto cached = cache_.NameCache.find(key);
  if (cached != cache_.NameCache.end() && cached->second.time >= now - kNameCacheSeconds) {
    resolved_ = cached->second.addressList;
  } else {
    const auto attempt = lastAttempt_.find(name);
    if (attempt != lastAttempt_.end() && attempt->second >= now - kRetryGuardSeconds) {
      wait = true;
      return false;
    }
    lastAttempt_[name] = now;
    std::vector<ResolvedAddress> results;
    const int error = setup_.lookup(name, "", setup_.addressFamily, results);
    if (error != 0) LogLine(std::string("Domain name resolution failed: ") + gai_strerror(error));
    resolved_.clear();
    for (const int family : {AF_INET, AF_INET6}) {
      for (const ResolvedAddress& result : results) {
        if (result.family == family) resolved_.push_back(AddressText(result));
      }
    }
    if (resolved_.empty()) return false;
    cache_.NameCache[key] = {now, resolved_};
    if (setup_.saveCache) setup_.saveCache();
  }
  // Stored entries keep these; they are dropped on every use.
  std::erase_if(resolved_, [this](const std::string& address) {
    return address == "127.0.0.1" || address == setup_.resolverAddress;
  });
  return !resolved_.empty();
}

std::string ServerResolver::PickResolved() { return resolved_[rng_() % resolved_.size()]; }
