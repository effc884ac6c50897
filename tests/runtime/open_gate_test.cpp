#include "runtime/open_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// Waiters that block before the gate settles, and one that comes after, all see how it settled,
// however often it is settled; those let through see what was written before it opened.
TEST(OpenGate, EveryWaiterLearnsTheFirstSettlement) {
  struct Case {
    std::string settle;  // 'o' Open, 'f' Fail, in turn
    int waiters;
    bool passes;
  };
  const std::vector<Case> cases = {
      {"o", 1, true},  {"o", 8, true},   {"f", 1, false},  {"f", 8, false}, {"oo", 3, true},
      {"of", 4, true}, {"fo", 4, false}, {"ff", 2, false}, {"o", 0, true},  {"f", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settle + " " + std::to_string(c.waiters));
    OpenGate gate;
    uint64_t prepared = 0;  // plain memory, ordered only by the gate
    std::atomic<int> through{0}, seenPrepared{0}, returned{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < c.waiters; ++w) {
      waiters.emplace_back([&] {
        if (gate.Pass()) {
          through.fetch_add(1);
          if (prepared == 0x5EED) seenPrepared.fetch_add(1);
        }
        returned.fetch_add(1);
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(returned.load(), 0);  // still closed
    prepared = 0x5EED;
    for (char s : c.settle) s == 'o' ? gate.Open() : gate.Fail();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(through.load(), c.passes ? c.waiters : 0);
    EXPECT_EQ(seenPrepared.load(), through.load());
    EXPECT_EQ(gate.Pass(), c.passes);  // a late waiter does not block
  }
}

}  // namespace
