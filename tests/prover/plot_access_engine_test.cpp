#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

#include "prover/operation_cancelled.h"
#include "prover/plot_access_engine.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/thrown_text.h"

namespace {

// Ready for one stage until stepped; records (tag, step argument) and completes, or waits for
// `gate` first.
struct Log {
  std::mutex mutex;
  std::vector<std::pair<int, uint64_t>> steps;
  std::promise<void> gate, started;
};

class ProbeJob final : public PlotJob {
 public:
  ProbeJob(PlotAccessEngine& e, std::shared_ptr<PlotFile> p, int64_t priority, CompletionQueue* q, void* o, uint32_t stage, int tag, Log* log, bool gated)
      : PlotJob(e, std::move(p), priority, q, o), stage_(stage), tag_(tag), log_(log), gated_(gated) {}
  bool IsReady(uint32_t stage) const override { return stage == stage_ && !Done() && !stepped_; }
  void Step(uint32_t, uint64_t argument) override {
    {
      std::lock_guard<std::mutex> lock(engine_.Mutex());
      stepped_ = true;
    }
    if (gated_) {
      log_->started.set_value();
      log_->gate.get_future().wait();
    }
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->steps.emplace_back(tag_, argument);
    std::lock_guard<std::mutex> engine(engine_.Mutex());
    Finish(nullptr);
  }
  uint32_t Kind() const override { return 9; }

 private:
  uint32_t stage_;
  int tag_;
  Log* log_;
  bool gated_;
  bool stepped_ = false;
};

TEST(PlotAccessEngine, ReadWorkersServeTheirDirectoryUnlessCountedApart) {
  for (uint64_t readThreads : {0, 5}) {
    TestDirectory dir;
    Log log;
    PlotAccessEngine engine({1, 3, readThreads, 2, 0, {}}, HeapArena(), {}, {});
    EXPECT_EQ(engine.ReadWorkerCount(), readThreads == 0 ? 3u : 5u);
    TestPlot::Make({4, 4, 4, 4, 4, 4}).Write(dir.Path() / "p");
    // Directory 4 has no worker of its own: only read workers counted apart can serve it.
    auto plot = OpenPlotFile(engine, dir.Path() / "p", readThreads == 0 ? 2 : 4);
    std::vector<std::shared_ptr<ProbeJob>> jobs;
    for (int i = 0; i < 20; ++i) jobs.push_back(engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, kStageRead, i, &log, false));
    std::set<uint64_t> workers;
    for (auto& job : jobs) job->Wait();
    for (auto& [tag, worker] : log.steps) workers.insert(worker);
    if (readThreads == 0) EXPECT_EQ(workers, std::set<uint64_t>{2});
    else EXPECT_LT(*workers.rbegin(), 5u);
  }
}

TEST(PlotAccessEngine, PriorityOrderWithFirstQueuedFirstAmongEquals) {
  TestDirectory dir;
  Log log;
  std::atomic<int> live = 0;
  std::weak_ptr<ProbeJob> idle;
  {
    PlotAccessEngine engine({1, 1, 0, 2, 0, {}}, HeapArena(), {}, [&](uint64_t, bool s) { live += s ? 1 : -1; });
    TestPlot::Make({4, 4, 4, 4, 4, 4}).Write(dir.Path() / "p");
    TestPlot::Make({4, 4, 4, 4, 4, 4}).Write(dir.Path() / "q");
    auto plot = OpenPlotFile(engine, dir.Path() / "p", 0);
    std::vector<std::shared_ptr<ProbeJob>> jobs{engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, kStageCompute, 0, &log, true)};
    log.started.get_future().wait();
    const int64_t priorities[] = {5, 1, 5, INT64_MIN, 1};
    for (int i = 0; i < 5; ++i) jobs.push_back(engine.QueueJob<ProbeJob>(plot.get(), priorities[i], nullptr, nullptr, kStageCompute, i + 1, &log, false));
    // Never ready: still listed when the engine goes.
    idle = engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, 7, 9, &log, false);
    log.gate.set_value();
    for (auto& job : jobs) job->Wait();
    EXPECT_EQ(log.steps, (std::vector<std::pair<int, uint64_t>>{{0, 0}, {4, 0}, {2, 0}, {5, 0}, {1, 0}, {3, 0}}));
    jobs.clear();
    EXPECT_FALSE(idle.expired());
    auto other = OpenPlotFile(engine, dir.Path() / "q", 0);
    const PlotFile* gone = other.get();
    other.reset();
    EXPECT_EQ(ThrownText([&] { engine.QueueJob<ProbeJob>(gone, 0, nullptr, nullptr, 0, 0, &log, false); }), "3284DA93");
  }
  EXPECT_TRUE(idle.expired());
  EXPECT_EQ(live, 0);
}

TEST(PlotAccessEngine, CancelCompletesOnceAndWaitersSeeIt) {
  TestDirectory dir;
  Log log;
  PlotAccessEngine engine({1, 1, 0, 2, 0, {}}, HeapArena(), {}, {});
  TestPlot::Make({4, 4, 4, 4, 4, 4}).Write(dir.Path() / "p");
  auto plot = OpenPlotFile(engine, dir.Path() / "p", 0);
  CompletionQueue queue;
  auto idle = engine.QueueJob<ProbeJob>(plot.get(), 0, &queue, nullptr, 7, 0, &log, false);
  auto done = engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, kStageTree, 1, &log, false);
  done->Wait();
  std::thread waiter([&] { EXPECT_THROW(idle->Wait(), OperationCancelled); });
  idle->Cancel();
  idle->Cancel();
  waiter.join();
  EXPECT_EQ(queue.TryTake(), idle.get());
  EXPECT_EQ(queue.TryTake(), nullptr);
  done->Cancel();
  EXPECT_THROW(done->Wait(), OperationCancelled);
}

TEST(PlotAccessEngine, OpeningAPlotReadsWithoutTheEngineMutex) {
  TestDirectory dir;
  PlotAccessEngine engine({1, 1, 0, 2, 0, {}}, HeapArena(), {}, {});
  const std::string fifo = (dir.Path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opening = std::async(std::launch::async, [&] { return ThrownText([&] { OpenPlotFile(engine, fifo, 0); }); });
  // Opening a FIFO blocks until a writer comes; meanwhile the engine mutex must stay free.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  bool free = false;  // workers hold the mutex only for moments
  for (int i = 0; i < 200 && !(free = engine.Mutex().try_lock()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(free);
  if (free) engine.Mutex().unlock();
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ::close(writer);
  EXPECT_EQ(opening.get(), "invalid plot file: BCACEF7C");
}

}  // namespace
