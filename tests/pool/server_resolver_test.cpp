#include "pool/server_resolver.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <set>

#include "tests/support/scratch_directory.h"
#include "tests/support/whole_file.h"

namespace {

using Texts = std::vector<std::string>;

// Resolvers over a private folder of address files, a settable clock and a table of names that
// hold numeric addresses only, so no name server is asked.
struct ResolverRig {
  TestDirectory folder;
  std::map<std::string, Texts> names;
  int lookups = 0, lastFamily = -1, saves = 0, clockReads = 0;
  SettingsCache cache;
  int64_t now = 1800000000;

  ServerResolver Make(int family = AF_UNSPEC) {
    const NameLookup lookup = [this](const std::string& node, const std::string&, int asked,
                                     auto& out) {
      ++lookups;
      lastFamily = asked;
      for (const std::string& text : names[node])
        LookUpAddresses(text, "", asked, AI_NUMERICHOST, out);
      return out.empty() ? EAI_NONAME : 0;
    };
    // A resolver that never gives up reads the clock without end.
    const auto clock = [this] {
      return ++clockReads < 100000 ? now : throw std::runtime_error("spins");
    };
    return ServerResolver(
        {folder.Path(), {"pool.invalid"}, "192.0.2.53", family, clock, lookup, [this] { ++saves; }},
        cache);
  }
  Texts Take(ServerResolver& resolver, int count) {
    Texts taken;
    while (count-- > 0) taken.push_back(resolver.NextAddress());
    return taken;
  }
};

}  // namespace

TEST(ServerResolver, CacheFirstWhenFreshNamesFirstWhenStale) {
  ResolverRig rig;
  rig.names = {{"pool.invalid", {"192.0.2.1"}}, {"a", {"192.0.2.2"}}, {"b", {"192.0.2.3"}}};
  rig.cache.CachedServerAddresses = {"192.0.2.9"};
  rig.cache.CacheTime = rig.now - 86399;
  ServerResolver fresh = rig.Make();
  EXPECT_EQ(rig.Take(fresh, 3), (Texts{"192.0.2.9", "192.0.2.9", "192.0.2.1"}));
  EXPECT_EQ(fresh.CurrentKind(), CandidateKind::HostName);

  WriteWholeFile(rig.folder / "addresses.txt", std::string("a #b 127.0.0.1\nb"));
  WriteWholeFile(rig.folder / "addresses", std::string("::1"));
  rig.cache.CacheTime -= 1;
  ServerResolver stale = rig.Make();
  const Texts taken = rig.Take(stale, 6);
  EXPECT_EQ(std::set(taken.begin(), taken.begin() + 2),
            (std::set<std::string>{"192.0.2.2", "192.0.2.3"}));
  EXPECT_EQ(Texts(taken.begin() + 2, taken.begin() + 4), (Texts{"192.0.2.9", "192.0.2.9"}));
  EXPECT_EQ(std::set(taken.begin() + 4, taken.end()), (std::set<std::string>{"127.0.0.1", "::1"}));
  EXPECT_EQ(rig.saves, 3);
  rig.Take(stale, 6);  // the names come from the name cache now
  EXPECT_EQ(rig.lookups, 3);
}

TEST(ServerResolver, SingleNameGuardFilteringFamiliesAndNoSpin) {
  ResolverRig rig;
  ServerResolver resolver = rig.Make();
  // Unknown: the second copy of the name within 2 s makes the call give up.
  EXPECT_EQ(resolver.NextAddress(), "");
  EXPECT_EQ(rig.lookups, 1);
  // Only filtered addresses: stored, yet nothing is offered and the call returns.
  rig.now += 3;
  rig.names["pool.invalid"] = {"127.0.0.1", "192.0.2.53"};
  EXPECT_EQ(rig.Take(resolver, 2), (Texts{"", ""}));
  EXPECT_EQ(rig.lookups, 2);
  EXPECT_EQ(rig.cache.NameCache.at(NameCacheKey("pool.invalid")).addressList.size(), 2u);
  // A clock below the name cache's lifetime still resolves a name it never saw.
  rig.now = 100;
  rig.cache.NameCache.clear();
  rig.names["pool.invalid"] = {"2001:db8::5", "127.0.0.1", "192.0.2.5"};
  ServerResolver early = rig.Make();
  EXPECT_NE(early.NextAddress(), "");
  EXPECT_EQ(early.Resolved(), (Texts{"192.0.2.5", "2001:db8::5"}));
  rig.cache.NameCache.clear();
  EXPECT_EQ(rig.Make(AF_INET6).NextAddress(), "2001:db8::5");
  EXPECT_EQ(rig.lastFamily, AF_INET6);
}
