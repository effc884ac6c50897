#include "pool/server_resolver.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "tests/pool/fake_name_lookup.h"
#include "tests/runtime/file_test_support.h"

namespace {

constexpr int64_t kNow = 1800000000;

// A resolver over a private folder of address files, a settable clock and a table of names.
struct ResolverRig {
  TestDirectory folder;
  FakeNameLookup names;
  SettingsCache cache;
  int64_t now = kNow;
  int saves = 0;
  int clockReads = 0;  // a resolver that never gives up reads the clock without end

  ServerResolver Make(int family = AF_UNSPEC) {
    ResolverSetup setup{folder.Path(), {"pool.invalid"}, "192.0.2.53", family,
                        [this] { return ++clockReads < 100000 ? now : throw std::runtime_error("spins"); },
                        names.Lookup(), [this] { ++saves; }};
    return ServerResolver(setup, cache);
  }
  std::vector<std::string> Take(ServerResolver& resolver, int count) {
    std::vector<std::string> taken;
    for (int i = 0; i < count; ++i) taken.push_back(resolver.NextAddress());
    return taken;
  }
};

using Texts = std::vector<std::string>;
using Set = std::set<std::string>;

}  // namespace

TEST(ServerResolver, CacheFirstWhenFreshNamesFirstWhenStale) {
  ResolverRig rig;
  rig.names.table = {{"pool.invalid", {"192.0.2.1"}}, {"a.invalid", {"192.0.2.2"}},
                     {"b.invalid", {"192.0.2.3"}}};
  rig.cache.CachedServerAddresses = {"192.0.2.9"};
  rig.cache.CacheTime = kNow - 86399;
  ServerResolver fresh = rig.Make();
  EXPECT_EQ(rig.Take(fresh, 3), (Texts{"192.0.2.9", "192.0.2.9", "192.0.2.1"}));
  EXPECT_EQ(fresh.CurrentKind(), CandidateKind::HostName);

  std::ofstream(rig.folder / "addresses.txt") << "a.invalid #b.invalid 127.0.0.1\nb.invalid";
  std::ofstream(rig.folder / "addresses") << "::1";
  rig.cache.CacheTime = kNow - 86400;
  ServerResolver stale = rig.Make();
  const Texts taken = rig.Take(stale, 6);
  EXPECT_EQ(Set(taken.begin(), taken.begin() + 2), (Set{"192.0.2.2", "192.0.2.3"}));
  EXPECT_EQ(Texts(taken.begin() + 2, taken.begin() + 4), (Texts{"192.0.2.9", "192.0.2.9"}));
  EXPECT_EQ(Set(taken.begin() + 4, taken.end()), (Set{"127.0.0.1", "::1"}));
  // The next round takes the names from the name cache, which was saved after each lookup.
  EXPECT_EQ(rig.names.calls, 3);
  EXPECT_EQ(rig.saves, 3);
  rig.Take(stale, 6);
  EXPECT_EQ(rig.names.calls, 3);
  rig.now += 601;
  rig.Take(stale, 2);
  EXPECT_EQ(rig.names.calls, 5);
}

TEST(ServerResolver, SingleNameGuardFilteringFamiliesAndNoSpin) {
  ResolverRig rig;
  ServerResolver resolver = rig.Make();
  // Unknown: the second copy of the name within 2 s makes the call give up.
  testing::internal::CaptureStdout();
  EXPECT_EQ(resolver.NextAddress(), "");
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Domain name resolution failed: "),
            std::string::npos);
  EXPECT_EQ(rig.names.calls, 1);
  rig.now += 3;
  rig.names.table["pool.invalid"] = {"127.0.0.1", "192.0.2.53"};
  EXPECT_EQ(resolver.NextAddress(), "");
  EXPECT_EQ(rig.names.calls, 2);
  EXPECT_EQ(rig.cache.NameCache.at(NameCacheKey("pool.invalid")).addressList.size(), 2u);
  EXPECT_EQ(resolver.NextAddress(), "");

  // A clock below the name cache's lifetime still resolves a name it never saw.
  rig.now = 100;
  rig.cache.NameCache.clear();
  rig.names.table["pool.invalid"] = {"2001:db8::5", "127.0.0.1", "192.0.2.5"};
  ServerResolver early = rig.Make();
  EXPECT_NE(early.NextAddress(), "");
  EXPECT_EQ(early.Resolved(), (Texts{"192.0.2.5", "2001:db8::5"}));
  rig.cache.NameCache.clear();
  ServerResolver sixOnly = rig.Make(AF_INET6);
  EXPECT_EQ(sixOnly.NextAddress(), "2001:db8::5");
  EXPECT_EQ(rig.names.lastFamily, AF_INET6);
}
