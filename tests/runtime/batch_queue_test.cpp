#include "runtime/batch_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <random>
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
