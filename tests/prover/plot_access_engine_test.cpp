#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "prover/operation_cancelled.h"
#include "prover/plot_access_engine.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/thrown_text.h"

namespace {

// Ready for one stage until stepped; a step logs (tag, argument) and completes the job, after
// the gate opens when it has one.
class ProbeJob final : public PlotJob {
 public:
  ProbeJob(PlotAccessEngine& e, std::shared_ptr<PlotFile> p, int64_t priority, CompletionQueue* q,
           void*, uint32_t stage, int tag, std::shared_future<void> gate = {})
      : PlotJob(e, std::move(p), priority, q, nullptr), stage_(stage), tag_(tag), gate_(gate) {}
  bool IsReady(uint32_t stage) const override { return stage == stage_ && !Done() && !stepped_; }
  void Step(uint32_t, uint64_t argument) override {
    {
      // Another worker may pick the job before this step marks it, as with the real jobs.
      std::lock_guard<std::mutex> lock(engine_.Mutex());
      if (stepped_ || Done()) return;
      stepped_ = true;
    }
    if (gate_.valid()) {
      ++atGate;
      gate_.wait();
    }
    std::lock_guard<std::mutex> lock(engine_.Mutex());
    steps.emplace_back(tag_, argument);
    Finish(nullptr);
  }
  uint32_t Kind() const override { return 9; }
  static inline std::vector<std::pair<int, uint64_t>> steps;
  static inline std::atomic<int> atGate{0};

 private:
  uint32_t stage_;
  int tag_;
  std::shared_future<void> gate_;
  bool stepped_ = false;
};

TEST(PlotAccessEngine, WorkersByDirectoryAndPriorityCancellationAndRelease) {
  TestDirectory dir;
  for (const char* name : {"p", "q"}) TestPlot::Make({4, 4, 4, 4, 4, 4}).Write(dir.Path() / name);
  for (uint64_t readThreads : {0, 5}) {
    std::atomic<int> live = 0;
    std::weak_ptr<ProbeJob> idle;
    ProbeJob::steps.clear();
    {
      PlotAccessEngine engine({1, 3, readThreads, 2, 0, {}}, HeapArena(), {},
                              [&](uint64_t, bool on) { live += on ? 1 : -1; });
      // Directory 4 has no read worker of its own: only workers counted apart serve it.
      auto plot = OpenPlotFile(engine, dir.Path() / "p", readThreads == 0 ? 2 : 4);
      // With five read workers (--r-threads 5) the first five jobs hold at a gate until each of them is inside
      // a step: only five workers at once get there. Without, one worker takes all in turn.
      std::promise<void> readGate;
      const std::shared_future<void> held = readGate.get_future().share();
      const int gated = readThreads == 0 ? 0 : 5;
      ProbeJob::atGate = 0;
      std::vector<std::shared_ptr<ProbeJob>> jobs;
      for (int i = 0; i < 8; ++i)
        jobs.push_back(engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, kStageRead, i,
                                                 i < gated ? held : std::shared_future<void>()));
      // The limit only bounds a hang.
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
      while (ProbeJob::atGate.load() < gated && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_EQ(ProbeJob::atGate.load(), gated);
      readGate.set_value();
      for (auto& job : jobs) job->Wait();
      std::set<uint64_t> workers, gatedWorkers;
      for (auto& [tag, worker] : ProbeJob::steps) {
        workers.insert(worker);
        if (tag < gated) gatedWorkers.insert(worker);
      }
      EXPECT_EQ(ProbeJob::steps.size(), 8u);
      if (readThreads == 0) {
        EXPECT_EQ(workers, std::set<uint64_t>{2});
      } else {
        EXPECT_EQ(gatedWorkers, (std::set<uint64_t>{0, 1, 2, 3, 4}));
        EXPECT_LT(*workers.rbegin(), 5u);
      }
      // Priorities: the compute worker is held by the first job while the others queue up.
      std::promise<void> gate;
      ProbeJob::steps.clear();
      jobs = {engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, kStageCompute, 0,
                                        gate.get_future().share())};
      for (bool waiting = true; waiting; std::this_thread::yield()) {
        std::lock_guard<std::mutex> lock(engine.Mutex());
        waiting = jobs[0]->IsReady(kStageCompute);
      }
      const int64_t priorities[] = {5, 1, 5, INT64_MIN, 1};
      for (int i = 0; i < 5; ++i)
        jobs.push_back(engine.QueueJob<ProbeJob>(plot.get(), priorities[i], nullptr, nullptr,
                                                 kStageCompute, i + 1));
      gate.set_value();
      for (auto& job : jobs) job->Wait();
      EXPECT_EQ(ProbeJob::steps, (std::vector<std::pair<int, uint64_t>>{
                                     {0, 0}, {4, 0}, {2, 0}, {5, 0}, {1, 0}, {3, 0}}));
      // Cancelling queues a job once and makes every later wait throw.
      CompletionQueue queue;
      auto never = engine.QueueJob<ProbeJob>(plot.get(), 0, &queue, nullptr, 7, 9);
      never->Cancel();
      never->Cancel();
      jobs[0]->Cancel();
      EXPECT_THROW(never->Wait(), OperationCancelled);
      EXPECT_THROW(jobs[0]->Wait(), OperationCancelled);
      EXPECT_EQ(queue.TryTake(), never.get());
      EXPECT_EQ(queue.TryTake(), nullptr);
      idle = engine.QueueJob<ProbeJob>(plot.get(), 0, nullptr, nullptr, 7, 9);  // left listed
      const PlotFile* gone = OpenPlotFile(engine, dir.Path() / "q", 0).get();
      EXPECT_EQ(ThrownText([&] { engine.QueueJob<ProbeJob>(gone, 0, nullptr, nullptr, 0, 0); }),
                "3284DA93");
    }
    EXPECT_TRUE(idle.expired());
    EXPECT_EQ(live, 0);
  }
}

TEST(PlotAccessEngine, OpeningAPlotWaitsForTheDiskWithoutTheEngineMutex) {
  TestDirectory dir;
  PlotAccessEngine engine({1, 1, 0, 2, 0, {}}, HeapArena(), {}, {});
  const std::string fifo = (dir.Path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Opening a FIFO blocks until a writer comes.
  auto opening = std::async(std::launch::async,
                            [&] { return ThrownText([&] { OpenPlotFile(engine, fifo, 0); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  bool free = false;  // workers hold the mutex only for moments
  for (int i = 0; i < 200 && !(free = engine.Mutex().try_lock()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(free);
  if (free) engine.Mutex().unlock();
  ::close(::open(fifo.c_str(), O_WRONLY));
  EXPECT_EQ(opening.get(), "invalid plot file: BCACEF7C");
}

}  // namespace
