#include "runtime/batch_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <numeric>
#include <random>
#include <semaphore>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/fake_system_memory.h"
#include "tests/support/thrown_text.h"

namespace {

using std::chrono::milliseconds;

std::vector<uint64_t> Iota(uint64_t from, uint64_t n) {
  std::vector<uint64_t> v(n);
  std::iota(v.begin(), v.end(), from);
  return v;
}

}  // namespace

TEST(BatchQueue, WrapsAroundAnOddRingWithManyProducers) {
  FaultArena objects;
  FaultArena rings;
  BatchQueue::Handle queue = BatchQueue::Create(objects, 1000, &rings);
  EXPECT_EQ(rings.outstanding, 1);
  constexpr int kProducers = 3;
  constexpr uint64_t kPerProducer = 40000;
  std::vector<uint64_t> next(kProducers, 0);
  uint64_t total = 0;
  uint64_t oversized = 0;
  bool ordered = true;
  queue->SetConsumer([&](std::span<const uint64_t> batch) {
    if (batch.size() > 1024) ++oversized;
    for (uint64_t item : batch) {
      const uint64_t producer = item >> 32;
      if (producer >= kProducers || (item & 0xFFFFFFFF) != next[producer]) ordered = false;
      if (producer < kProducers) next[producer] = (item & 0xFFFFFFFF) + 1;
      ++total;
    }
  });
  std::vector<std::thread> producers;
  for (uint64_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      std::mt19937 rng(static_cast<unsigned>(p));
      uint64_t sent = 0;
      std::vector<uint64_t> run;
      while (sent < kPerProducer) {
        const uint64_t n = std::min<uint64_t>(rng() % 2500 + 1, kPerProducer - sent);
        run.clear();
        for (uint64_t i = 0; i < n; ++i) run.push_back(p << 32 | (sent + i));
        queue->Push(run.data(), n);
        sent += n;
      }
    });
  }
  for (auto& t : producers) t.join();
  queue->WaitIdle();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(oversized, 0u);
  EXPECT_EQ(total, kProducers * kPerProducer);
  queue->ResetConsumer();
  queue.reset();
  EXPECT_EQ(objects.outstanding, 0);
  EXPECT_EQ(rings.outstanding, 0);
}

TEST(BatchQueue, ConsumerFailureRethrownUntilReset) {
  FaultArena arena;
  BatchQueue::Handle queue = BatchQueue::Create(arena, 64, nullptr);
  int calls = 0;
  queue->SetConsumer([&](std::span<const uint64_t>) {
    ++calls;
    throw std::runtime_error("encoder failed");
  });
  const std::vector<uint64_t> items = Iota(0, 10);
  queue->Push(items.data(), items.size());
  EXPECT_EQ(ThrownText([&] { queue->WaitIdle(); }), "encoder failed");
  EXPECT_EQ(ThrownText([&] { queue->Push(items.data(), 3); }), "encoder failed");
  EXPECT_EQ(ThrownText([&] { queue->WaitIdle(); }), "encoder failed");
  EXPECT_EQ(ThrownText([&] { queue->Push(items.data(), 0); }), "no exception");
  EXPECT_EQ(ThrownText([&] { queue->SetConsumer([](std::span<const uint64_t>) {}); }), "4E6E5F0F");
  EXPECT_EQ(calls, 1);

  queue->ResetConsumer();
  std::vector<uint64_t> received;
  queue->SetConsumer([&](std::span<const uint64_t> batch) {
    received.insert(received.end(), batch.begin(), batch.end());
  });
  queue->Push(items.data() + 7, 3);
  queue->WaitIdle();
  EXPECT_EQ(received, (std::vector<uint64_t>{7, 8, 9}));  // nothing left from the failed pass
  queue->ResetConsumer();

  // An empty consumer fails like any other.
  queue->SetConsumer(BatchQueue::Consumer());
  queue->Push(items.data(), 1);
  EXPECT_THROW(queue->WaitIdle(), std::bad_function_call);
  queue->ResetConsumer();
}

// The consumer works on its own copy of a batch: producers go on filling the ring meanwhile, and
// WaitIdle returns only once the consumer has returned.
TEST(BatchQueue, ProducersPushWhileTheConsumerWorks) {
  FaultArena arena;
  BatchQueue::Handle queue = BatchQueue::Create(arena, 64, nullptr);
  std::atomic<bool> started{false};
  std::atomic<bool> pushed{false};
  bool sawPush = false;
  std::vector<uint64_t> received;
  queue->SetConsumer([&](std::span<const uint64_t> batch) {
    if (received.empty()) {
      started = true;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (!pushed && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(1));
      }
      sawPush = pushed;
      // Still busy when the producer calls WaitIdle.
      std::this_thread::sleep_for(milliseconds(50));
    }
    received.insert(received.end(), batch.begin(), batch.end());
  });
  const std::vector<uint64_t> items = Iota(0, 20);
  queue->Push(items.data(), 10);
  while (!started) std::this_thread::sleep_for(milliseconds(1));
  queue->Push(items.data() + 10, 10);
  pushed = true;
  queue->WaitIdle();
  EXPECT_TRUE(sawPush);
  EXPECT_EQ(received, items);
  queue->ResetConsumer();
}

TEST(BatchQueue, FailureReleasesProducerBlockedOnFullRing) {
  FaultArena arena;
  BatchQueue::Handle queue = BatchQueue::Create(arena, 4, nullptr);
  queue->SetConsumer([](std::span<const uint64_t>) { throw std::runtime_error("full stop"); });
  const std::vector<uint64_t> items = Iota(0, 100);
  EXPECT_EQ(ThrownText([&] { queue->Push(items.data(), items.size()); }), "full stop");
  queue->ResetConsumer();
  // Destroyed with a consumer thread idle and nothing installed.
}

TEST(BatchQueue, CreationRefusalsAndFailures) {
  FaultArena arena;
  EXPECT_EQ(ThrownText([&] { BatchQueue::Create(arena, 0, nullptr); }), "C2946A8E");
  // The object, then its ring.
  EXPECT_EQ(SweepAllocationFailures([](FaultArena& a) { BatchQueue::Create(a, 16, nullptr); }),
            std::vector<std::string>(2, "std::bad_alloc"));
}

// Room filled by several threads at once and handed on with Commit comes out in push order
// among plain pushes, whichever part of the ring it lies in, including rooms that wrap.
TEST(BatchQueue, ReservedRoomFilledByManyThreadsKeepsPushOrder) {
  FaultArena arena;
  BatchQueue::Handle queue = BatchQueue::Create(arena, 997, nullptr);
  std::vector<uint64_t> seen;
  queue->SetConsumer([&](std::span<const uint64_t> batch) {
    seen.insert(seen.end(), batch.begin(), batch.end());
  });
  std::mt19937 rng(7);
  uint64_t next = 0;
  uint64_t wrapped = 0;
  for (int round = 0; round < 400; ++round) {
    const uint64_t n = rng() % 998;  // 0 .. the whole ring
    if (round % 3 == 0) {
      const std::vector<uint64_t> run = Iota(next, n);
      queue->Push(run.data(), n);
    } else {
      const std::array<std::span<uint64_t>, 2> room = queue->Reserve(n);
      ASSERT_EQ(room[0].size() + room[1].size(), n);
      if (!room[1].empty()) ++wrapped;
      std::vector<std::thread> fillers;
      for (uint64_t t = 0; t < 4; ++t) {
        fillers.emplace_back([&, t] {
          for (uint64_t k = t; k < n; k += 4) {
            const uint64_t first = room[0].size();
            (k < first ? room[0][k] : room[1][k - first]) = next + k;
          }
        });
      }
      for (auto& f : fillers) f.join();
      queue->Commit(n);
    }
    next += n;
  }
  queue->WaitIdle();
  EXPECT_GT(wrapped, 20u);
  EXPECT_EQ(seen, Iota(0, next));
  EXPECT_EQ(ThrownText([&] { queue->Reserve(998); }), "5B0E2D94");
  queue->ResetConsumer();
}

// A reservation waits until the consumer has made room for all of it.
TEST(BatchQueue, ReserveWaitsForRoom) {
  FaultArena arena;
  BatchQueue::Handle queue = BatchQueue::Create(arena, 8, nullptr);
  std::mutex gate;
  std::unique_lock<std::mutex> held(gate);
  std::atomic<uint64_t> consumed{0};
  std::atomic<bool> entered{false};
  queue->SetConsumer([&](std::span<const uint64_t> batch) {
    entered = true;
    std::lock_guard<std::mutex> wait(gate);
    consumed += batch.size();
  });
  // The consumer holds the first six on its own copy; the next six stay in the ring.
  const std::vector<uint64_t> six = Iota(0, 6);
  queue->Push(six.data(), 6);
  while (!entered) std::this_thread::yield();
  queue->Push(six.data(), 6);
  std::atomic<bool> reserved{false};
  std::thread producer([&] {
    const auto room = queue->Reserve(8);
    reserved = true;
    EXPECT_EQ(room[0].size() + room[1].size(), 8u);
    queue->Commit(8);
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(reserved.load());  // six items are still held
  held.unlock();
  producer.join();
  queue->WaitIdle();
  EXPECT_EQ(consumed.load(), 20u);
  queue->ResetConsumer();
}

namespace {

// Lets the consumer through one call at a time.
struct Turnstile {
  std::counting_semaphore<> permits{0};
  std::atomic<uint64_t> entered{0};
  void Pass() {
    entered.fetch_add(1);
    permits.acquire();
  }
  // Waits until `calls` calls have begun.
  bool AwaitEntered(uint64_t calls) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (entered.load() < calls) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
  }
};

bool AwaitFlag(const std::atomic<bool>& flag) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

}  // namespace

// A reservation sleeps while the consumer takes batch after batch, and returns once, and only
// once, the batches taken have left room for all of it.
TEST(BatchQueue, ReserveWakesWhenTheBatchesTakenLeaveItsRoom) {
  struct Case {
    uint64_t capacity, queued, reserve, batchesNeeded;
  };
  // A batch is taken from the ring before the consumer is called with it.
  const std::vector<Case> cases = {
      {5000, 4500, 2000, 2},  // 4500 -> 3476 leaves 1524, -> 2452 leaves 2548
      {5000, 5000, 5000, 5},  // the whole ring: every item must be taken
      {4096, 4096, 1, 1},     // the first batch is enough
      {3000, 2999, 2, 1},     // one short at the start
      {6000, 5120, 4000, 4},  // 5120 -> 4096 -> 3072 -> 2048 leaves 3952 -> 1024 leaves 4976
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity * 10000 + c.reserve);
    FaultArena arena;
    BatchQueue::Handle queue = BatchQueue::Create(arena, c.capacity, nullptr);
    Turnstile turnstile;
    std::vector<uint64_t> seen;
    queue->SetConsumer([&](std::span<const uint64_t> batch) {
      turnstile.Pass();
      seen.insert(seen.end(), batch.begin(), batch.end());
    });
    const std::vector<uint64_t> first = Iota(0, c.queued);
    queue->Push(first.data(), first.size());
    std::atomic<bool> reserved{false};
    std::thread producer([&] {
      const auto room = queue->Reserve(c.reserve);
      reserved = true;
      for (uint64_t k = 0; k < c.reserve; ++k) {
        (k < room[0].size() ? room[0][k] : room[1][k - room[0].size()]) = c.queued + k;
      }
      queue->Commit(c.reserve);
    });
    for (uint64_t batch = 1; batch <= c.batchesNeeded; ++batch) {
      ASSERT_TRUE(turnstile.AwaitEntered(batch));
      if (batch < c.batchesNeeded) {
        std::this_thread::sleep_for(milliseconds(30));
        EXPECT_FALSE(reserved.load()) << batch;
      } else {
        EXPECT_TRUE(AwaitFlag(reserved)) << batch;
      }
      turnstile.permits.release();
    }
    turnstile.permits.release(1 << 20);
    producer.join();
    queue->WaitIdle();
    EXPECT_EQ(seen, Iota(0, c.queued + c.reserve));
    queue->ResetConsumer();
  }
}

// Every kind of sleeper on a queue whose consumer fails gets the failure instead of waiting on.
TEST(BatchQueue, ConsumerFailureReleasesEverySleeper) {
  const std::vector<std::pair<std::string, std::function<void(BatchQueue&)>>> sleepers = {
      {"reserve", [](BatchQueue& q) { q.Reserve(8); }},
      {"push",
       [](BatchQueue& q) {
         const uint64_t one = 1;
         q.Push(&one, 1);
       }},
      {"push more than the ring",
       [](BatchQueue& q) {
         const std::vector<uint64_t> many = Iota(0, 20);
         q.Push(many.data(), many.size());
       }},
      {"wait idle", [](BatchQueue& q) { q.WaitIdle(); }},
  };
  for (const auto& [name, sleep] : sleepers) {
    SCOPED_TRACE(name);
    FaultArena arena;
    BatchQueue::Handle queue = BatchQueue::Create(arena, 8, nullptr);
    Turnstile turnstile;
    queue->SetConsumer([&](std::span<const uint64_t>) {
      turnstile.Pass();
      throw std::runtime_error("encoder gave up");
    });
    // The consumer holds four on its copy and the ring is full behind them.
    const std::vector<uint64_t> items = Iota(0, 12);
    queue->Push(items.data(), 4);
    ASSERT_TRUE(turnstile.AwaitEntered(1));
    queue->Push(items.data() + 4, 8);
    std::atomic<bool> returned{false};
    std::string text;
    std::thread sleeper([&, &sleep = sleep] {
      text = ThrownText([&] { sleep(*queue); });
      returned = true;
    });
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(returned.load());
    turnstile.permits.release();
    EXPECT_TRUE(AwaitFlag(returned));
    sleeper.join();
    EXPECT_EQ(text, "encoder gave up");
    EXPECT_EQ(turnstile.entered.load(), 1u);
    queue->ResetConsumer();
  }
}

// Producers with needs large and small sleep side by side on a full ring, alone or with a
// reservation between their pushes: none misses its wake-up and each one's items stay in order.
TEST(BatchQueue, SleepingProducersOfEverySizeAllWake) {
  struct Case {
    const char* name;
    uint64_t capacity;
    int producers;
    uint64_t largestRun;  // runs of 1 .. this many items
    bool reservations;    // one producer reserves room between the others' pushes
    bool slowConsumer;
  };
  const std::vector<Case> cases = {
      {"tiny ring, single items", 3, 4, 1, false, false},
      {"runs beyond the ring", 700, 4, 2000, false, false},
      {"runs around a quarter", 4096, 6, 1100, false, true},
      {"reservations among pushes", 1500, 3, 1500, true, false},
      {"reservations, slow consumer", 2048, 4, 600, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultArena arena;
    BatchQueue::Handle queue = BatchQueue::Create(arena, c.capacity, nullptr);
    constexpr uint64_t kPerProducer = 30000;
    std::vector<uint64_t> next(c.producers + 1, 0);
    uint64_t total = 0;
    bool ordered = true;
    bool bounded = true;
    queue->SetConsumer([&](std::span<const uint64_t> batch) {
      bounded = bounded && batch.size() <= BatchQueue::kMaxBatch;
      for (uint64_t item : batch) {
        const uint64_t p = item >> 32;
        if (p > uint64_t(c.producers) || (item & 0xFFFFFFFF) != next[p]) ordered = false;
        if (p <= uint64_t(c.producers)) next[p] = (item & 0xFFFFFFFF) + 1;
        ++total;
      }
      if (c.slowConsumer && total % 7 == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    });
    // Pushes share this lock and a reservation holds it alone, as the contract asks.
    std::shared_mutex turns;
    std::vector<std::thread> producers;
    for (int p = 0; p < c.producers; ++p) {
      producers.emplace_back([&, p] {
        std::mt19937 rng(static_cast<unsigned>(p + 11));
        std::vector<uint64_t> run;
        for (uint64_t sent = 0; sent < kPerProducer;) {
          const uint64_t n = std::min<uint64_t>(rng() % c.largestRun + 1, kPerProducer - sent);
          run.clear();
          for (uint64_t i = 0; i < n; ++i) run.push_back(uint64_t(p) << 32 | (sent + i));
          std::shared_lock<std::shared_mutex> turn(turns);
          queue->Push(run.data(), n);
          sent += n;
        }
      });
    }
    if (c.reservations) {
      producers.emplace_back([&] {
        const uint64_t p = c.producers;
        std::mt19937 rng(5);
        for (uint64_t sent = 0; sent < kPerProducer;) {
          const uint64_t n = std::min<uint64_t>(rng() % c.capacity + 1, kPerProducer - sent);
          std::unique_lock<std::shared_mutex> turn(turns);
          const auto room = queue->Reserve(n);
          for (uint64_t k = 0; k < n; ++k) {
            (k < room[0].size() ? room[0][k] : room[1][k - room[0].size()]) = p << 32 | (sent + k);
          }
          queue->Commit(n);
          sent += n;
        }
      });
    }
    for (auto& t : producers) t.join();
    queue->WaitIdle();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(bounded);
    EXPECT_EQ(total, (c.producers + (c.reservations ? 1 : 0)) * kPerProducer);
    queue->ResetConsumer();
  }
}

// On a full ring a producer needing little wakes as soon as one batch is taken, whether it went
// to sleep before or after one that needs more than a batch frees.
TEST(BatchQueue, SmallProducerWakesBesideALargerOne) {
  for (const bool smallFirst : {true, false}) {
    SCOPED_TRACE(smallFirst);
    constexpr uint64_t kCapacity = 8 * BatchQueue::kMaxBatch;
    FaultArena arena;
    BatchQueue::Handle queue = BatchQueue::Create(arena, kCapacity, nullptr);
    Turnstile turnstile;
    uint64_t received = 0;
    queue->SetConsumer([&](std::span<const uint64_t> batch) {
      turnstile.Pass();
      received += batch.size();
    });
    const std::vector<uint64_t> items = Iota(0, kCapacity + BatchQueue::kMaxBatch);
    queue->Push(items.data(), BatchQueue::kMaxBatch);  // held by the consumer
    ASSERT_TRUE(turnstile.AwaitEntered(1));
    queue->Push(items.data(), kCapacity);  // a full ring
    std::atomic<bool> smallDone{false}, largeDone{false};
    const std::function<void()> small = [&] { queue->Push(items.data(), 1), smallDone = true; };
    const std::function<void()> large = [&] {
      queue->Push(items.data(), kCapacity / 2), largeDone = true;
    };
    std::thread first(smallFirst ? small : large);
    std::this_thread::sleep_for(milliseconds(30));
    std::thread second(smallFirst ? large : small);
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_FALSE(smallDone || largeDone);
    turnstile.permits.release();  // the second batch frees one batch's room
    ASSERT_TRUE(turnstile.AwaitEntered(2));
    EXPECT_TRUE(AwaitFlag(smallDone));
    EXPECT_FALSE(largeDone.load());
    turnstile.permits.release(1 << 20);
    first.join();
    second.join();
    queue->WaitIdle();
    EXPECT_EQ(received, BatchQueue::kMaxBatch + kCapacity + 1 + kCapacity / 2);
    queue->ResetConsumer();
  }
}
