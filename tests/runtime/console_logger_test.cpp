#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/console_logger.h"
#include "tests/support/time_prefix.h"

namespace {

using namespace std::chrono_literals;

// Collects written lines; can hold the writing thread inside a write until released, the way a
// stalled terminal holds the printer.
class CapturingWriter {
 public:
  ConsoleLogger::Writer Writer() {
    return [this](const std::string& text) { Write(text); };
  }

  void BlockNextWrite() {
    std::lock_guard lock(mutex_);
    block_ = true;
  }
  // Waits until a write is held.
  bool WaitUntilBlocked() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return blocked_; });
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      block_ = false;
    }
    changed_.notify_all();
  }
  bool WaitForLines(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return lines_.size() >= count; });
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  void Write(const std::string& text) {
    std::unique_lock lock(mutex_);
    if (block_) {
      blocked_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !block_; });
      blocked_ = false;
    }
    lines_.push_back(text);
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool block_ = false;
  bool blocked_ = false;
  std::vector<std::string> lines_;
};


}  // namespace

TEST(ConsoleLogger, DirectModePrefixesTimeAndCutsLongFormats) {
  CapturingWriter out;
  ConsoleLogger logger(out.Writer());
  EXPECT_EQ(LogTimePrefix().size(), 9u);
  EXPECT_TRUE(HasTimePrefix(LogTimePrefix()));
  logger.LogLine("hello");
  logger.LogF("%s=%d", "answer", 42);
  logger.LogF("%s", std::string(5000, 'x').c_str());
  logger.LogF("%s", std::string(4095, 'y').c_str());
  const auto lines = out.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(LoggedText(lines[0]), "hello");
  EXPECT_EQ(LoggedText(lines[1]), "answer=42");
  EXPECT_EQ(LoggedText(lines[2]), std::string(4095, 'x'));
  EXPECT_EQ(LoggedText(lines[3]), std::string(4095, 'y'));
  EXPECT_FALSE(logger.PrinterStarted());
}

TEST(ConsoleLogger, OverflowWhilePrinterBlockedKeepsNewestWithOneSkipLine) {
  CapturingWriter out;
  {
    ConsoleLogger logger(out.Writer());
    logger.StartPrinter();
    logger.StartPrinter();  // a second start changes nothing
    ASSERT_TRUE(logger.PrinterStarted());
    out.BlockNextWrite();
    logger.LogLine("first");
    ASSERT_TRUE(out.WaitUntilBlocked());  // the printer holds "first" and writes nothing more
    for (int i = 0; i < 20000; ++i) logger.LogLine("line " + std::to_string(i));
    out.Release();
    ASSERT_TRUE(out.WaitForLines(1 + 16385));
    // Later lines print normally, without another skip line.
    logger.LogLine("after");
    ASSERT_TRUE(out.WaitForLines(1 + 16385 + 1));
    // One line more than the queue keeps: a skip line for exactly one.
    out.BlockNextWrite();
    logger.LogLine("held");
    ASSERT_TRUE(out.WaitUntilBlocked());
    for (int i = 0; i < 16386; ++i) logger.LogLine("again " + std::to_string(i));
    out.Release();
    ASSERT_TRUE(out.WaitForLines(1 + 16385 + 1 + 1 + 16385));
  }
  auto lines = out.Lines();
  ASSERT_EQ(lines.size(), 1u + 16385u + 1u + 1u + 16385u);
  const std::string skipOne = "(skipped 1 messages)\n";
  EXPECT_EQ(LoggedText(lines[16387]), "held");
  ASSERT_EQ(lines[16388].substr(0, skipOne.size()), skipOne);
  EXPECT_EQ(LoggedText(lines[16388].substr(skipOne.size())), "again 1");
  EXPECT_EQ(LoggedText(lines.back()), "again 16385");
  lines.resize(1 + 16385 + 1);
  EXPECT_EQ(LoggedText(lines[0]), "first");
  // 20000 queued, 16385 kept: the skip line names the 3615 dropped and stands before the oldest
  // line kept, in the same write.
  const std::string skip = "(skipped 3615 messages)\n";
  ASSERT_EQ(lines[1].substr(0, skip.size()), skip);
  EXPECT_EQ(LoggedText(lines[1].substr(skip.size())), "line 3615");
  for (size_t i = 2; i <= 16385; ++i) {
    ASSERT_EQ(LoggedText(lines[i]), "line " + std::to_string(3615 + i - 1)) << i;
  }
  EXPECT_EQ(LoggedText(lines.back()), "after");
}

TEST(ConsoleLogger, LinesRacingTheStopAreAllPrintedOnce) {
  CapturingWriter out;
  ConsoleLogger logger(out.Writer());
  logger.StartPrinter();
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 2; ++t) {
    writers.emplace_back([&] {
      while (!stop.load()) {
        logger.LogLine("x");
        logged.fetch_add(1);
      }
    });
  }
  while (logged.load() < 200) std::this_thread::yield();
  logger.StopPrinter();  // queued lines are printed, later ones go out directly
  EXPECT_FALSE(logger.PrinterStarted());
  // Printed by this thread before LogLine returns, with the time prefix.
  const size_t before = out.Lines().size();
  logger.LogLine("after the stop");
  const auto lines = out.Lines();
  ASSERT_GT(lines.size(), before);
  EXPECT_NE(std::find_if(lines.begin() + before, lines.end(),
                         [](const std::string& line) {
                           return HasTimePrefix(line) && line.substr(9) == "after the stop";
                         }),
            lines.end());
  const int atStop = logged.load();
  while (logged.load() < atStop + 200) std::this_thread::yield();
  stop.store(true);
  for (auto& writer : writers) writer.join();
  // Writers may outrun the printer; dropped lines are accounted for by the skip lines.
  size_t accounted = 0;
  const std::string skip = "(skipped ";
  for (const std::string& line : out.Lines()) {
    ++accounted;
    if (line.compare(0, skip.size(), skip) == 0) accounted += std::stoul(line.substr(skip.size()));
  }
  EXPECT_EQ(accounted, static_cast<size_t>(logged.load()) + 1);
}
