#include "runtime/thread_pool.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/runtime/fake_system_memory.h"
#include "tests/support/thrown_text.h"

namespace {

int ThreadNiceness() {
  errno = 0;
  return getpriority(PRIO_PROCESS, 0);  // the calling thread on Linux
}

}  // namespace

TEST(ThreadPool, ManyWorkersRunEveryPartOnce) {
  FaultArena objects;
  FaultArena arrays;
  ThreadPool::Handle pool = ThreadPool::Create(objects, 6, &arrays, 0);
  EXPECT_EQ(pool->WorkerCount(), 6u);
  EXPECT_EQ(objects.outstanding, 1);
  EXPECT_EQ(arrays.outstanding, 2 + 6);  // thread array, wake array, one signal each
  for (uint64_t parts : {1u, 5u, 256u, 1000u}) {
    std::vector<std::atomic<int>> runs(parts);
    std::atomic<uint64_t> badWorker{0};
    pool->Run(
        [&](uint64_t worker, uint64_t part) {
          if (worker >= 6) badWorker.fetch_add(1);
          runs[part].fetch_add(1);
        },
        parts);
    for (uint64_t i = 0; i < parts; ++i) ASSERT_EQ(runs[i].load(), 1) << "part " << i;
    EXPECT_EQ(badWorker.load(), 0u);
  }
  pool.reset();
  EXPECT_EQ(objects.outstanding, 0);
  EXPECT_EQ(arrays.outstanding, 0);
}

TEST(ThreadPool, FailuresRethrownOnceAndPoolStaysUsable) {
  FaultArena arena;
  ThreadPool::Handle pool = ThreadPool::Create(arena, 1, nullptr, 0);
  std::atomic<int> ran{0};
  // On one worker parts run in order, so the last failure recorded is part 7's.
  try {
    pool->Run(
        [&](uint64_t, uint64_t part) {
          ran.fetch_add(1);
          if (part == 3) throw std::runtime_error("part 3");
          if (part == 7) throw std::logic_error("part 7");
        },
        10);
    ADD_FAILURE() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "part 7");
  }
  EXPECT_EQ(ran.load(), 10);  // a failure cancels nothing

  // The next task starts clean.
  ran = 0;
  EXPECT_NO_THROW(pool->Run([&](uint64_t, uint64_t) { ran.fetch_add(1); }, 4));
  EXPECT_EQ(ran.load(), 4);

  // An empty task fails every part with bad_function_call.
  EXPECT_THROW(pool->Run(ThreadPool::Task(), 3), std::bad_function_call);
  EXPECT_NO_THROW(pool->Run([](uint64_t, uint64_t) {}, 3));

  // Many workers, many failures: exactly one of them comes back.
  ThreadPool::Handle wide = ThreadPool::Create(arena, 4, nullptr, 0);
  for (int round = 0; round < 20; ++round) {
    try {
      wide->Run([](uint64_t, uint64_t part) { throw std::runtime_error(std::to_string(part)); },
                64);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      const int part = std::stoi(e.what());
      EXPECT_TRUE(part >= 0 && part < 64);
    }
  }
  EXPECT_NO_THROW(wide->RunForEachBucket([](uint64_t, uint64_t) {}));
}

TEST(ThreadPool, ConcurrentPostersEachGetTheirOwnTask) {
  FaultArena arena;
  ThreadPool::Handle pool = ThreadPool::Create(arena, 3, nullptr, 0);
  constexpr int kPosters = 4;
  constexpr int kRounds = 60;
  std::atomic<int> errors{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t) {
    posters.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<std::atomic<int>> runs(16);
        bool threw = false;
        try {
          pool->Run(
              [&](uint64_t, uint64_t part) {
                runs[part].fetch_add(1);
                if (t == 0 && part == 5) throw std::runtime_error("poster 0");
              },
              16);
        } catch (const std::runtime_error& e) {
          threw = std::string(e.what()) == "poster 0";
          if (!threw) errors.fetch_add(1);
        }
        if (threw != (t == 0)) errors.fetch_add(1);
        for (auto& r : runs) {
          if (r.load() != 1) errors.fetch_add(1);
        }
      }
    });
  }
  for (auto& p : posters) p.join();
  EXPECT_EQ(errors.load(), 0);
}

TEST(ThreadPool, LowPriorityWorkersRunAtNiceness19) {
  // Raising one's own niceness is normally allowed; skip where this host refuses it.
  bool niceWorks = false;
  std::thread probe([&] {
    errno = 0;
    const int r = nice(19);
    niceWorks = !(r == -1 && errno != 0);
  });
  probe.join();
  if (!niceWorks) GTEST_SKIP() << "nice is refused here";

  const int own = ThreadNiceness();
  FaultArena arena;
  ThreadPool::Handle low = ThreadPool::Create(arena, 3, nullptr, -1);
  ThreadPool::Handle normal = ThreadPool::Create(arena, 2, nullptr, 0);
  std::vector<std::atomic<int>> lowNice(256);
  std::vector<std::atomic<int>> normalNice(256);
  low->RunForEachBucket([&](uint64_t, uint64_t part) { lowNice[part] = ThreadNiceness(); });
  normal->RunForEachBucket([&](uint64_t, uint64_t part) { normalNice[part] = ThreadNiceness(); });
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(lowNice[i].load(), 19) << i;
    EXPECT_EQ(normalNice[i].load(), own) << i;
  }
  EXPECT_EQ(ThreadNiceness(), own);  // the creator is left alone
  ThreadPool::Stop(low);
  EXPECT_EQ(low, nullptr);
}

TEST(ThreadPool, CreationRefusalsAndFailuresTearDown) {
  FaultArena arena;
  EXPECT_EQ(ThrownText([&] { ThreadPool::Create(arena, 0, nullptr, 0); }), "E05B7D41");
  EXPECT_EQ(arena.outstanding, 0);

  // The pool, its thread array and wake array, then one signal per worker.
  EXPECT_EQ(SweepAllocationFailures([](FaultArena& a) { ThreadPool::Create(a, 4, nullptr, 0); }),
            std::vector<std::string>(7, "std::bad_alloc"));
}
