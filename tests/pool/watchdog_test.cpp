// The watchdog alarm with a fake beeper and a fake clock of whole seconds.
#include "pool/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

TEST(Watchdog, RepeatedTroubleBeepsUntilItHasBeenQuietFor89Seconds) {
  std::atomic<int64_t> now{1000};
  std::atomic<int> beeps{0};
  Watchdog watchdog({[&] { return now.load(); }, [&] { ++beeps; }, std::chrono::milliseconds(20)});
  const auto beepsAfter = [&](int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return beeps.load();
  };
  watchdog.AlarmingEvent();
  EXPECT_EQ(beepsAfter(100), 0);
  EXPECT_FALSE(watchdog.TimerHasThread());
  now = 1090;  // 90 s later: still a single event
  watchdog.AlarmingEvent();
  EXPECT_EQ(beepsAfter(100), 0);
  now = 1179;
  watchdog.AlarmingEvent();
  EXPECT_GE(beepsAfter(30), 1);
  EXPECT_GE(beepsAfter(200), 6);  // one every 20 ms
  now = 1179 + 89;
  const int before = beeps.load();
  EXPECT_GT(beepsAfter(100), before);
  now = 1179 + 90;
  const int last = beepsAfter(60);
  EXPECT_EQ(beepsAfter(100), last);
}

}  // namespace
