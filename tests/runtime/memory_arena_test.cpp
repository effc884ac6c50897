#include "runtime/memory_arena.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <locale>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/arena_buffer.h"
#include "tests/runtime/fake_system_memory.h"
#include "tests/support/thrown_text.h"

namespace {

constexpr uint64_t kGiB = FakeSystemMemory::kGiB;
constexpr uint64_t kMiB = FakeSystemMemory::kMiB;

MemoryFigures Figures(uint64_t total, uint64_t available, uint64_t withSwap) {
  return MemoryFigures{static_cast<int64_t>(total), static_cast<int64_t>(available),
                       static_cast<int64_t>(withSwap)};
}

}  // namespace

TEST(ReservePlan, Table) {
  constexpr int64_t kG = int64_t(kGiB), kM = int64_t(kMiB), kAny = -1;
  struct Case {
    const char* name;
    uint64_t total, available, withSwap, requested;
    bool forced;
    int64_t target, reserve, goal, pages, sparePages;  // kAny: not checked
  };
  const Case cases[] = {
      {"8 GiB, a quarter kept free, 1 GiB reserve", 8 * kGiB, 6 * kGiB, 6 * kGiB, 0, false, 6 * kG,
       kG, 5 * kG, 5 * kG / 4096, kG / 4096},
      {"64 GiB: reserve T/32 + 512 MiB", 64 * kGiB, 40 * kGiB, 60 * kGiB, 0, false, 48 * kG,
       2 * kG + 512 * kM, 48 * kG, kAny, kAny},
      {"reserve rule below 16 GiB + 32", 0x40000001FULL, 0, 0, 0, false, kAny, 0x40000000, kAny,
       kAny, kAny},
      {"reserve rule from 16 GiB + 32", 0x400000020ULL, 0, 0, 0, false, kAny,
       int64_t(0x400000020ULL / 32) + 512 * kM, kAny, kAny, kAny},
      {"available lifts the target", 8 * kGiB, 6656 * kMiB, 6656 * kMiB, 0, false, 6656 * kM, kAny,
       kAny, kAny, kAny},
      {"but never above T - T/8", 8 * kGiB, 7680 * kMiB, 7680 * kMiB, 0, false, 7 * kG, kAny, kAny,
       kAny, kAny},
      {"swap counts toward the first rule only", 8 * kGiB, 2 * kGiB, 20 * kGiB, 0, false, 6 * kG,
       kAny, 6 * kG, kAny, kAny},
      {"forced: no spare pages", 8 * kGiB, 6 * kGiB, 6 * kGiB, 0, true, kAny, kAny, kAny, kAny, 0},
      {"request below the rule", 8 * kGiB, 6 * kGiB, 6 * kGiB, 3 * kGiB, false, kAny, kAny, 3 * kG,
       kAny, kAny},
      {"forced request below the rule", 8 * kGiB, 6 * kGiB, 6 * kGiB, 3 * kGiB, true, kAny, kAny,
       3 * kG, kAny, kAny},
      {"unforced request is an upper bound", 8 * kGiB, 6 * kGiB, 6 * kGiB, 7 * kGiB, false, 6 * kG,
       kAny, 5 * kG, kAny, kAny},
      {"forced request capped by AS - R", 8 * kGiB, 6 * kGiB, 6 * kGiB, 7 * kGiB, true, 7 * kG, kAny,
       5 * kG, kAny, kAny},
      {"forced request capped by T - R", 8 * kGiB, 6 * kGiB, 30 * kGiB, 7500 * kMiB, true, kAny,
       kAny, 7 * kG, kAny, kAny},
      {"pages round up", 8 * kGiB, 6 * kGiB, 6 * kGiB, 4096 * 3 + 1, true, kAny, kAny, kAny, 4,
       kAny},
      {"whole pages", 8 * kGiB, 6 * kGiB, 6 * kGiB, 4096 * 3, true, kAny, kAny, kAny, 3, kAny},
      {"less memory than the reserve", 768 * kMiB, 700 * kMiB, 700 * kMiB, 64 * kMiB, true, kAny,
       kAny, 0, 0, kAny},
      {"too little available", 4 * kGiB, 512 * kMiB, 900 * kMiB, 0, false, kAny, kAny, 0, kAny,
       kAny},
      {"request beyond the signed range", 8 * kGiB, 6 * kGiB, 6 * kGiB, ~uint64_t{0}, true, kAny,
       kAny, 5 * kG, kAny, kAny},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ReservePlan plan =
        PlanReserve(Figures(c.total, c.available, c.withSwap), c.requested, c.forced, 4096);
    const int64_t got[] = {plan.target, plan.reserve, plan.goal, plan.pages, plan.sparePages};
    const int64_t want[] = {c.target, c.reserve, c.goal, c.pages, c.sparePages};
    for (int i = 0; i < 5; ++i) {
      if (want[i] != kAny) {
        EXPECT_EQ(got[i], want[i]) << "field " << i;
      }
    }
  }
}

TEST(SystemFacts, MemInfoAndResidentSize) {
  FakeSystemMemory host;
  host.SetMemInfo(8 * 1024 * 1024, 6 * 1024 * 1024, 1024);
  MemoryFigures figures = ReadMemoryFigures(host);
  EXPECT_EQ(figures.total, int64_t(8 * kGiB));
  EXPECT_EQ(figures.available, int64_t(6 * kGiB));
  EXPECT_EQ(figures.availableWithSwap, int64_t(6 * kGiB + kMiB));

  // Any fault in the file falls back to sysinfo, which takes freehigh when it is set.
  host.sysinfo = {1000, 300, 0, 50, 4096};
  const std::vector<std::string> broken = {
      "MemTotal: 100 MB\nMemAvailable: 50 kB\nSwapFree: 0 kB\n",
      "MemTotal: 100 kB\nMemAvailable: 50 MB\nSwapFree: 0 kB\n",
      "MemTotal: 100 kB\nMemAvailable: 50 kB\nSwapFree: 0 B\n",
      "MemTotal: 100 kB\nSwapFree: 0 kB\n", ""};
  for (const std::string& text : broken) {
    host.meminfo = text;
    figures = ReadMemoryFigures(host);
    EXPECT_EQ(figures.total, 1000 * 4096) << text;
    EXPECT_EQ(figures.available, 300 * 4096) << text;
    EXPECT_EQ(figures.availableWithSwap, 350 * 4096) << text;
  }
  host.meminfoReadable = false;
  host.sysinfo.freeHigh = 20;
  figures = ReadMemoryFigures(host);
  EXPECT_EQ(figures.availableWithSwap, 70 * 4096);

  host.rss = {5 * kMiB};
  EXPECT_EQ(ReadProcessRss(host), 5 * kMiB);
  host.rss = {0};
  EXPECT_EQ(ReadProcessRss(host), 0u);

  // The real process has some resident memory.
  EXPECT_GT(ReadProcessRss(), 0u);
}

TEST(SystemFacts, ResidentSizeUnitChecked) {
  class StatusText : public FakeSystemMemory {
   public:
    std::string status;
    bool ReadTextFile(const char* path, std::string& text) override {
      if (std::string(path) != "/proc/self/status") return false;
      text = status;
      return true;
    }
  } host;
  for (const auto& [status, rss] : std::vector<std::pair<std::string, uint64_t>>{
           {"Name: x\nVmRSS:\t 2048 kB\n", 2048u * 1024}, {"Name: x\nVmRSS:\t 2048 MB\n", 0},
           {"Name: x\nVmHWM:\t 2048 kB\n", 0}, {"VmRSS:", 0}}) {
    host.status = status;
    EXPECT_EQ(ReadProcessRss(host), rss) << status;
  }
}

// Forced reservations over a made-up host: mapping length, lock steps and the limit handling.
class ForcedReserve : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.SetMemInfo(8 * 1024 * 1024, 6 * 1024 * 1024, 0);
    host_.rss = {100 * kMiB};
  }
  uint64_t Reserve(uint64_t bytes, bool warningsOn = true) {
    return arena_.Reserve(bytes, nullptr, true, warningsOn);
  }
  FakeSystemMemory host_;
  std::vector<std::string> warnings_;
  MemoryArena arena_{[this](const std::string& text) { warnings_.push_back(text); }, host_};
};

TEST_F(ForcedReserve, RaisesLimitAndLocksInSteps) {
  host_.softLimit = host_.hardLimit = 8 * kMiB;
  EXPECT_EQ(Reserve(300 * kMiB), 300 * kMiB);
  ASSERT_EQ(host_.mapCalls, std::vector<uint64_t>{300 * kMiB});
  EXPECT_TRUE(host_.unmapCalls.empty());
  // 128 MiB steps: each needs one raise of 128 MiB; soft == hard raises both.
  ASSERT_EQ(host_.setLimitCalls.size(), 3u);
  EXPECT_EQ(host_.setLimitCalls[0], std::make_pair(136 * kMiB, 136 * kMiB));
  EXPECT_EQ(host_.setLimitCalls[2], std::make_pair(392 * kMiB, 392 * kMiB));
  EXPECT_EQ(host_.lockedBytes, 300 * kMiB);
  EXPECT_EQ(host_.lockCalls, 6);
  EXPECT_TRUE(warnings_.empty());
  EXPECT_EQ(arena_.RegionSize(), 300 * kMiB);
  EXPECT_EQ(arena_.RegionBase(), reinterpret_cast<uint8_t*>(FakeSystemMemory::kFakeBase));

  // A soft limit below the hard one rises up to the hard one only.
  FakeSystemMemory other;
  other.SetMemInfo(8 * 1024 * 1024, 6 * 1024 * 1024, 0);
  other.softLimit = 0;
  other.hardLimit = 64 * kMiB;
  other.setLimitOk = true;
  MemoryArena second([](const std::string&) {}, other);
  EXPECT_EQ(second.Reserve(64 * kMiB, nullptr, true, true), 64 * kMiB);
  ASSERT_EQ(other.setLimitCalls.size(), 1u);
  EXPECT_EQ(other.setLimitCalls[0], std::make_pair(64 * kMiB, 64 * kMiB));
}

TEST_F(ForcedReserve, RaiseRefusedKeepsBlockWithSummary) {
  host_.softLimit = host_.hardLimit = 256 * kMiB;
  host_.setLimitOk = false;
  // The figures keep their decimal point whatever locale the program runs under.
  struct CommaDecimals : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new CommaDecimals));
  const uint64_t reserved = Reserve(kGiB);
  std::locale::global(previous);
  EXPECT_EQ(reserved, kGiB);
  EXPECT_EQ(arena_.RegionSize(), kGiB);
  ASSERT_EQ(warnings_.size(), 2u);
  EXPECT_EQ(warnings_[0], "WARNING: Failed to increase process memory quotas");
  EXPECT_EQ(warnings_[1],
            "WARNING: 1.00GiB of memory allocated but only 0.25GiB were locked in physical "
            "memory to prevent swapping. This usually does not affect performance.");
}

TEST_F(ForcedReserve, LockFailuresWarnOnlyWhenAsked) {
  struct Case {
    const char* name;
    int lockError;
    bool getLimitOk;
    uint64_t soft;
    const char* first;
  };
  const Case cases[] = {
      {"other errno", EPERM, true, 0, "WARNING: Failed to lock physical memory"},
      {"getrlimit fails", 0, false, 0, "WARNING: Failed to retrive process memory quotas"},
      {"limit at total", ENOMEM, true, 8 * kGiB, "WARNING: Failed to lock physical memory"},
      // Unlimited reads back negative as a signed value; raising it would wrap.
      {"unlimited", ENOMEM, true, ~uint64_t{0}, "WARNING: Failed to lock physical memory"},
  };
  for (const Case& c : cases) {
    for (bool warningsOn : {true, false}) {
      FakeSystemMemory fake;
      fake.SetMemInfo(8 * 1024 * 1024, 6 * 1024 * 1024, 0);
      fake.lockError = c.lockError;
      fake.getLimitOk = c.getLimitOk;
      fake.softLimit = fake.hardLimit = c.soft;
      std::vector<std::string> seen;
      MemoryArena a([&seen](const std::string& t) { seen.push_back(t); }, fake);
      EXPECT_EQ(a.Reserve(600 * kMiB, nullptr, true, warningsOn), 600 * kMiB) << c.name;
      EXPECT_TRUE(fake.setLimitCalls.empty()) << c.name;
      EXPECT_EQ(fake.hardLimit, c.soft) << c.name;
      if (!warningsOn) {
        EXPECT_TRUE(seen.empty()) << c.name;
        continue;
      }
      ASSERT_EQ(seen.size(), 2u) << c.name;
      EXPECT_EQ(seen[0], c.first) << c.name;
      EXPECT_EQ(seen[1],
                "WARNING: 0.59GiB of memory allocated but only 0.00GiB were locked in physical "
                "memory to prevent swapping. This usually does not affect performance.")
          << c.name;
    }
  }
}

TEST_F(ForcedReserve, MappingRetreatsThenGivesUp) {
  host_.mapLimit = 200 * kMiB;
  EXPECT_EQ(Reserve(300 * kMiB), 172 * kMiB);
  EXPECT_EQ(host_.mapCalls, (std::vector<uint64_t>{300 * kMiB, 172 * kMiB}));

  FakeSystemMemory refusing;
  refusing.SetMemInfo(8 * 1024 * 1024, 6 * 1024 * 1024, 0);
  refusing.mapLimit = 0;
  MemoryArena a([](const std::string&) {}, refusing);
  EXPECT_THROW(a.Reserve(300 * kMiB, nullptr, true, false), std::bad_alloc);
  EXPECT_EQ(refusing.mapCalls, (std::vector<uint64_t>{300 * kMiB, 172 * kMiB, 44 * kMiB}));
  EXPECT_EQ(a.RegionBase(), nullptr);
}

TEST_F(ForcedReserve, CancelledWhileLockingUnmapsAll) {
  std::atomic<bool> cancel{true};
  EXPECT_EQ(arena_.Reserve(64 * kMiB, &cancel, true, true), 0u);
  ASSERT_EQ(host_.unmapCalls.size(), 1u);
  EXPECT_EQ(host_.unmapCalls[0], std::make_pair(FakeSystemMemory::kFakeBase, 64 * kMiB));
  EXPECT_EQ(arena_.RegionBase(), nullptr);
  EXPECT_EQ(arena_.RegionSize(), 0u);
  EXPECT_EQ(host_.lockCalls, 0);
}

TEST_F(ForcedReserve, ReleaseWithLivePiecesRetiresBlock) {
  ASSERT_EQ(Reserve(64 * kMiB), 64 * kMiB);
  void* a = arena_.Allocate(4096, 16);
  void* b = arena_.Allocate(4096, 16);
  ASSERT_EQ(a, arena_.RegionBase());
  arena_.Release();
  ASSERT_EQ(warnings_, std::vector<std::string>{"WARNING: 9C87E507"});
  EXPECT_TRUE(host_.unmapCalls.empty());  // still in use
  EXPECT_EQ(arena_.RetiredBlockCount(), 1u);
  EXPECT_EQ(arena_.RegionBase(), nullptr);
  EXPECT_EQ(arena_.LiveCount(), 0u);

  // A new block can be held while the old one waits for its pieces.
  EXPECT_EQ(Reserve(32 * kMiB), 32 * kMiB);
  arena_.Deallocate(a);
  EXPECT_TRUE(host_.unmapCalls.empty());
  arena_.Deallocate(b);
  ASSERT_EQ(host_.unmapCalls.size(), 1u);
  EXPECT_EQ(host_.unmapCalls[0], std::make_pair(FakeSystemMemory::kFakeBase, 64 * kMiB));
  EXPECT_EQ(arena_.RetiredBlockCount(), 0u);
  arena_.Release();
  EXPECT_EQ(warnings_.size(), 1u);
  ASSERT_EQ(host_.unmapCalls.size(), 2u);
  EXPECT_EQ(host_.unmapCalls[1],
            std::make_pair(FakeSystemMemory::kFakeBase + FakeSystemMemory::kFakeStride, 32 * kMiB));
}

// Unforced reservations touch real pages, so the fake hands out real mappings; only the first
// chunks are touched because the scripted resident size stops growing.
TEST(UnforcedReserve, TouchesWithPatternAndSizesFromGrowth) {
  for (uint64_t processors : {1, 4}) {
    SCOPED_TRACE(processors);
    FakeSystemMemory host;
    host.realMappings = true;
    host.processors = processors;
    host.SetMemInfo(2 * 1024 * 1024, 1536 * 1024, 0);  // T 2 GiB, A = AS = 1.5 GiB, R 1 GiB
    // rss0, after mapping, after round 1 (large growth), after round 2 (1 MiB: stop), final.
    host.rss = {100 * kMiB, 100 * kMiB, 100 * kMiB + 2 * kGiB, 101 * kMiB + 2 * kGiB};
    std::vector<std::string> warnings;
    MemoryArena arena([&](const std::string& t) { warnings.push_back(t); }, host);
    EXPECT_EQ(arena.Reserve(32 * kMiB, nullptr, false, true), 32 * kMiB);
    EXPECT_TRUE(warnings.empty());
    // N + E pages mapped: 32 MiB plus the 1 GiB reserve as spare pages.
    ASSERT_EQ(host.mapCalls, std::vector<uint64_t>{32 * kMiB + kGiB});
    const uintptr_t base = reinterpret_cast<uintptr_t>(arena.RegionBase());
    ASSERT_EQ(host.unmapCalls.size(), 1u);
    EXPECT_EQ(host.unmapCalls[0], std::make_pair(base + 32 * kMiB, kGiB));
    EXPECT_EQ(host.lockedBytes, 32 * kMiB);
    // Before mapping, after mapping, after each of the two rounds touched, and at the end: the
    // growth of 1 MiB seen after the second round stopped the touching.
    EXPECT_EQ(host.statusReads, 5);

    // Every touched page carries the low bytes of the default-seeded 64-bit Mersenne Twister.
    std::mt19937_64 generator;
    std::vector<uint8_t> pattern(4096);
    for (uint8_t& b : pattern) b = static_cast<uint8_t>(generator());
    const uint8_t* block = arena.RegionBase();
    EXPECT_EQ(std::memcmp(block, pattern.data(), 4096), 0);
    EXPECT_EQ(std::memcmp(block + 7 * 4096, pattern.data(), 4096), 0);
    EXPECT_EQ(std::memcmp(block + 32 * kMiB - 4096, pattern.data(), 4096), 0);
    arena.Release();
  }
}

namespace {

std::vector<uint8_t> TouchPattern(uint64_t page) {
  std::mt19937_64 generator;
  std::vector<uint8_t> pattern(page);
  for (uint8_t& b : pattern) b = static_cast<uint8_t>(generator());
  return pattern;
}

uint64_t PagesWithoutPattern(const uint8_t* begin, uint64_t length, uint64_t page) {
  const std::vector<uint8_t> pattern = TouchPattern(page);
  uint64_t missing = 0;
  for (uint64_t offset = 0; offset < length; offset += page) {
    if (std::memcmp(begin + offset, pattern.data(), page) != 0) ++missing;
  }
  return missing;
}

// Real mappings whose pages are checked for the touch pattern as they are unmapped; the cancel
// flag can be raised at a chosen read of the resident size, as if a stop arrived meanwhile.
class TouchCheckingHost : public FakeSystemMemory {
 public:
  uint64_t pagesUnmapped = 0;
  uint64_t unmappedWithoutPattern = 0;
  std::atomic<bool>* cancel = nullptr;
  int cancelAtRead = 0;

  TouchCheckingHost(uint64_t processorCount, uint64_t firstGrowth) {
    realMappings = true;
    processors = processorCount;
    SetMemInfo(2 * 1024 * 1024, 1536 * 1024, 0);  // T 2 GiB, A = AS = 1.5 GiB, R 1 GiB
    // rss0 and after mapping, then a growth after each round (the first one given).
    rss = {100 * kMiB, 100 * kMiB};
    uint64_t now = 100 * kMiB + firstGrowth;
    for (int i = 0; i < 200; ++i, now += kGiB) rss.push_back(now);
  }

  bool ReadTextFile(const char* path, std::string& text) override {
    const bool read = FakeSystemMemory::ReadTextFile(path, text);
    if (cancel != nullptr && statusReads == cancelAtRead) cancel->store(true);
    return read;
  }

  void Unmap(void* address, uint64_t length) override {
    pagesUnmapped += length / page;
    unmappedWithoutPattern += PagesWithoutPattern(static_cast<uint8_t*>(address), length, page);
    FakeSystemMemory::Unmap(address, length);
  }
};

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

}  // namespace

// Every page of the mapping is written, kept or spare, whatever the split of 16 MiB chunks over
// the threads; the resident size is read once per round of one chunk per thread (at most 16).
TEST(UnforcedReserve, EveryPageTouchedWhateverTheThreadCount) {
  const struct {
    uint64_t processors, requested;
  } cases[] = {{3, 8 * kMiB + 3 * 4096}, {8, 40 * kMiB + 5 * 4096}, {7, 4096},
               {40, 24 * kMiB + 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.processors << " processors, " << c.requested);
    TouchCheckingHost host(c.processors, kGiB);
    std::vector<std::string> warnings;
    MemoryArena arena([&](const std::string& t) { warnings.push_back(t); }, host);
    const uint64_t kept = CeilDiv(c.requested, 4096) * 4096;
    ASSERT_EQ(arena.Reserve(c.requested, nullptr, false, true), kept);
    EXPECT_TRUE(warnings.empty());
    const uint64_t mapped = kept + kGiB;
    ASSERT_EQ(host.mapCalls, std::vector<uint64_t>{mapped});
    EXPECT_EQ(host.pagesUnmapped, kGiB / 4096);
    EXPECT_EQ(host.unmappedWithoutPattern, 0u);
    EXPECT_EQ(PagesWithoutPattern(arena.RegionBase(), kept, 4096), 0u);
    const uint64_t rounds = CeilDiv(CeilDiv(mapped, 16 * kMiB), std::min<uint64_t>(c.processors, 16));
    EXPECT_EQ(host.statusReads, static_cast<int>(3 + rounds));
    EXPECT_EQ(host.lockedBytes, kept);
    arena.Release();
  }
}

// A round that grows the resident size by less than 12 MiB per chunk it touched ends the
// touching; exactly that much is enough to go on.
TEST(UnforcedReserve, RoundsStopWhenGrowthFallsShort) {
  TouchCheckingHost host(4, 0);
  host.rss = {100 * kMiB, 100 * kMiB, 100 * kMiB + kGiB, 148 * kMiB + kGiB, 195 * kMiB + kGiB};
  MemoryArena arena([](const std::string&) {}, host);
  ASSERT_EQ(arena.Reserve(8 * kMiB, nullptr, false, true), 8 * kMiB);
  // Rounds of 4 x 16 MiB: 1 GiB and then 48 MiB of growth go on, 47 MiB stops after round 3.
  EXPECT_EQ(host.statusReads, 6);
  const uint64_t touched = 3 * 64 * kMiB;
  EXPECT_EQ(host.pagesUnmapped, kGiB / 4096);
  EXPECT_EQ(host.unmappedWithoutPattern, (8 * kMiB + kGiB - touched) / 4096);
  EXPECT_EQ(PagesWithoutPattern(arena.RegionBase(), 8 * kMiB, 4096), 0u);
  arena.Release();
}

// A stop that arrives while the helpers touch is seen after that round: no further page is
// written, the whole mapping goes back, and nothing is locked.
TEST(UnforcedReserve, CancelledMidTouchStopsAndUnmaps) {
  for (int cancelAtRead : {3, 5}) {
    SCOPED_TRACE(cancelAtRead);
    TouchCheckingHost host(3, kGiB);
    std::atomic<bool> cancel{false};
    host.cancel = &cancel;
    host.cancelAtRead = cancelAtRead;
    MemoryArena arena([](const std::string&) {}, host);
    EXPECT_EQ(arena.Reserve(8 * kMiB, &cancel, false, true), 0u);
    EXPECT_EQ(host.statusReads, cancelAtRead);
    const uint64_t mapped = 8 * kMiB + kGiB;
    ASSERT_EQ(host.unmapCalls.size(), 1u);
    EXPECT_EQ(host.unmapCalls[0].second, mapped);
    const uint64_t touched = static_cast<uint64_t>(cancelAtRead - 2) * 3 * 16 * kMiB;
    EXPECT_EQ(host.unmappedWithoutPattern, (mapped - touched) / 4096);
    EXPECT_EQ(arena.RegionBase(), nullptr);
    EXPECT_EQ(arena.RegionSize(), 0u);
    EXPECT_EQ(host.lockCalls, 0);
  }
}

TEST(UnforcedReserve, UnknownResidentSizeAndCancellation) {
  struct Case {
    std::vector<uint64_t> rss;
    bool cancelled;
    uint64_t kept;
    std::vector<std::string> warnings;
  };
  // Unreadable first size: touching stops after one chunk. Cancelled, or too little growth (a
  // negative usable size): nothing kept.
  const Case cases[] = {
      {{0, 100 * kMiB, 101 * kMiB}, false, 8 * kMiB,
       {"WARNING: Can't get process physical memory size"}},
      {{100 * kMiB, 100 * kMiB, 200 * kMiB}, true, 0, {}},
      {{100 * kMiB, 100 * kMiB, 101 * kMiB}, false, 0, {}},
  };
  for (const Case& c : cases) {
    FakeSystemMemory host;
    host.realMappings = true;
    host.SetMemInfo(2 * 1024 * 1024, 1536 * 1024, 0);
    host.rss.assign(c.rss.begin(), c.rss.end());
    std::vector<std::string> warnings;
    std::atomic<bool> cancel{c.cancelled};
    MemoryArena arena([&](const std::string& t) { warnings.push_back(t); }, host);
    EXPECT_EQ(arena.Reserve(8 * kMiB, &cancel, false, true), c.kept);
    EXPECT_EQ(warnings, c.warnings);
    if (c.kept != 0) continue;
    EXPECT_EQ(arena.RegionBase(), nullptr);
    EXPECT_EQ(host.lockCalls, 0);
    ASSERT_EQ(host.unmapCalls.size(), 1u);
    EXPECT_EQ(host.unmapCalls[0].second, 8 * kMiB + kGiB);
  }
}

TEST(MemoryArena, RealBlockAllocationRules) {
  std::vector<std::string> warnings;
  MemoryArena arena([&](const std::string& t) { warnings.push_back(t); });
  ASSERT_EQ(arena.Reserve(4 * kMiB, nullptr, true, true), 4 * kMiB);
  for (const std::string& w : warnings) EXPECT_EQ(w.rfind("WARNING: ", 0), 0u) << w;
  uint8_t* base = arena.RegionBase();
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(arena.RegionSize(), 4 * kMiB);
  EXPECT_EQ(ThrownText([&] { arena.Reserve(4 * kMiB, nullptr, true, false); }), "97947AA8");
  EXPECT_EQ(arena.RegionBase(), base);
  EXPECT_EQ(arena.RegionSize(), 4 * kMiB);

  void* a = arena.Allocate(100, 8);
  void* b = arena.Allocate(1, 4096);
  void* c = arena.Allocate16(10);
  EXPECT_EQ(a, base);
  EXPECT_EQ(b, base + 4096);
  EXPECT_EQ(c, base + 4112);  // 4097 rounded up to 16
  EXPECT_EQ(arena.UsedOffset(), 4122u);
  EXPECT_EQ(arena.LiveCount(), 3u);
  std::memset(a, 0xAB, 100);

  // Larger than what is left: the heap, counted as overflow, freed by Deallocate.
  void* big = arena.Allocate(4 * kMiB, 64);
  ASSERT_NE(big, nullptr);
  EXPECT_TRUE(static_cast<uint8_t*>(big) < base || static_cast<uint8_t*>(big) >= base + 4 * kMiB);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % 64, 0u);
  EXPECT_EQ(arena.OverflowBytes(), 4 * kMiB);
  EXPECT_EQ(arena.LiveCount(), 3u);
  arena.Deallocate(big);

  // The rest of the block still serves exactly.
  void* tail = arena.Allocate(4 * kMiB - 4128, 16);
  EXPECT_EQ(tail, base + 4128);
  EXPECT_EQ(arena.UsedOffset(), 4 * kMiB);
  void* none = arena.Allocate(1, 16);
  EXPECT_EQ(arena.OverflowBytes(), 4 * kMiB + 1);
  arena.Deallocate(none);

  // Reuse from the start only when every piece is back.
  arena.Deallocate(a);
  arena.Deallocate(b);
  arena.Deallocate(tail);
  EXPECT_EQ(arena.UsedOffset(), 4 * kMiB);
  arena.Deallocate(c);
  EXPECT_EQ(arena.UsedOffset(), 0u);
  EXPECT_EQ(arena.Allocate(64, 16), base);
  arena.Deallocate(base);

  // An alignment above the page size holds on the address itself.
  void* wide = arena.Allocate(16, 2 * kMiB);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % (2 * kMiB), 0u);
  arena.Deallocate(wide);

  arena.Release();
  EXPECT_EQ(arena.RegionBase(), nullptr);
  EXPECT_EQ(arena.OverflowBytes(), 0u);
  // Without a block everything comes from the heap.
  void* heap = arena.Allocate(128, 16);
  EXPECT_EQ(arena.OverflowBytes(), 128u);
  arena.Deallocate(heap);
}

TEST(MemoryArena, RetiredPiecesStayUsableUntilReturned) {
  std::vector<std::string> warnings;
  MemoryArena arena([&](const std::string& t) { warnings.push_back(t); });
  ASSERT_EQ(arena.Reserve(2 * kMiB, nullptr, true, false), 2 * kMiB);
  auto* piece = static_cast<uint8_t*>(arena.Allocate(kMiB, 16));
  arena.Release();
  EXPECT_EQ(warnings, std::vector<std::string>{"WARNING: 9C87E507"});
  // Still mapped: writing must not fault, and returning it must not reach free().
  std::memset(piece, 0x5A, kMiB);
  EXPECT_EQ(piece[kMiB - 1], 0x5A);
  arena.Deallocate(piece);
  EXPECT_EQ(arena.RetiredBlockCount(), 0u);
}

TEST(MemoryArena, ConcurrentAllocateAndDeallocate) {
  MemoryArena arena([](const std::string&) {});
  ASSERT_EQ(arena.Reserve(4 * kMiB, nullptr, true, false), 4 * kMiB);
  uint8_t* base = arena.RegionBase();
  std::vector<std::thread> threads;
  std::atomic<int> inside{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        auto* p = static_cast<uint8_t*>(arena.Allocate(64 + i % 200, 32));
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
        if (p >= base && p < base + 4 * kMiB) inside.fetch_add(1);
        std::memset(p, t, 64);
        arena.Deallocate(p);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_GT(inside.load(), 0);
  EXPECT_EQ(arena.LiveCount(), 0u);
  EXPECT_EQ(arena.UsedOffset(), 0u);
}

namespace {

struct Tracked {
  static inline int alive = 0;
  explicit Tracked(int v, bool fail) : value(v) {
    if (fail) throw std::runtime_error("constructor failed");
    ++alive;
  }
  ~Tracked() { --alive; }
  int value;
  alignas(64) char payload[8];
};

}  // namespace

TEST(ArenaFactory, ConstructsDestroysAndReturnsMemory) {
  MemoryArena arena([](const std::string&) {});
  ASSERT_EQ(arena.Reserve(kMiB, nullptr, true, false), kMiB);
  {
    ArenaPtr<Tracked> object = NewInArena<Tracked>(arena, 7, false);
    EXPECT_EQ(object->value, 7);
    EXPECT_EQ(Tracked::alive, 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(object.get()) % 64, 0u);
    EXPECT_EQ(object.get_deleter().arena, &arena);
    EXPECT_EQ(arena.LiveCount(), 1u);
  }
  EXPECT_EQ(Tracked::alive, 0);
  EXPECT_EQ(arena.LiveCount(), 0u);
  EXPECT_THROW(NewInArena<Tracked>(arena, 1, true), std::runtime_error);
  EXPECT_EQ(arena.LiveCount(), 0u);
  EXPECT_EQ(arena.UsedOffset(), 0u);

  FaultArena failing;
  failing.failFrom = 1;
  EXPECT_THROW(NewInArena<Tracked>(failing, 1, false), std::bad_alloc);
  EXPECT_EQ(Tracked::alive, 0);
}

TEST(ArenaBuffer, AllocateReleaseAndErrors) {
  FaultArena arena;
  ASSERT_EQ(arena.Reserve(kMiB, nullptr, true, false), kMiB);
  ArenaBuffer<uint32_t> buffer;
  buffer.Allocate(arena, 1000);
  EXPECT_EQ(buffer.Count(), 1000u);
  EXPECT_EQ(buffer.Arena(), &arena);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(buffer.Data()), arena.RegionBase());
  EXPECT_EQ(arena.UsedOffset(), 4000u);
  EXPECT_EQ(ThrownText([&] { buffer.Allocate(arena, 10); }), "D6181804");
  EXPECT_EQ(buffer.Count(), 1000u);

  ArenaBuffer<uint32_t> moved(std::move(buffer));
  EXPECT_EQ(buffer.Data(), nullptr);
  EXPECT_EQ(moved.Count(), 1000u);
  EXPECT_EQ(arena.outstanding, 1);
  moved.Release();
  EXPECT_EQ(arena.outstanding, 0);
  EXPECT_EQ(arena.UsedOffset(), 0u);

  arena.failFrom = arena.allocations + 1;
  ArenaBuffer<uint64_t> refused;
  EXPECT_THROW(refused.Allocate(arena, 8), std::bad_alloc);
  EXPECT_EQ(refused.Data(), nullptr);
  EXPECT_THROW(refused.Allocate(arena, ~uint64_t{0} / 4), std::bad_alloc);
}

TEST(ArenaBuffer, EntryBuffersFromTwoArenas) {
  FaultArena objects;
  FaultArena buffers;
  {
    ArenaPtr<EntryBuffers> holder = NewEntryBuffers(objects, buffers);
    EXPECT_EQ(objects.outstanding, 1);
    EXPECT_EQ(buffers.outstanding, 2);
    EXPECT_EQ(holder->bitmap.Count(), 67108864u);
    EXPECT_EQ(holder->scratch.Count(), 1048576u);
    EXPECT_EQ(holder->bitmap.Arena(), &buffers);
    EXPECT_EQ(holder->scratch.Arena(), &buffers);
    EXPECT_EQ(holder->flag, 0);
    const uint64_t* words = holder->bitmap.Data();
    uint64_t any = 0;
    for (uint64_t i = 0; i < holder->bitmap.Count(); i += 4093) any |= words[i];
    EXPECT_EQ(any | words[holder->bitmap.Count() - 1], 0u);
  }
  EXPECT_EQ(objects.outstanding, 0);
  EXPECT_EQ(buffers.outstanding, 0);

  // The second buffer refused: the first goes back with the holder.
  buffers.failFrom = buffers.allocations + 2;
  EXPECT_THROW(NewEntryBuffers(objects, buffers), std::bad_alloc);
  EXPECT_EQ(objects.outstanding, 0);
  EXPECT_EQ(buffers.outstanding, 0);
}
