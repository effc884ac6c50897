#include "runtime/buffer_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/fake_system_memory.h"
#include "tests/support/thrown_text.h"

TEST(BufferPool, BuffersAlignedAndDistinct) {
  FaultArena arena;
  ASSERT_EQ(arena.Reserve(1 << 20, nullptr, true, false), 1u << 20);
  uint8_t* base = arena.RegionBase();
  {
    BufferPool::Handle pool = BufferPool::Create(arena, 8192, 4096, 3, &arena);
    EXPECT_EQ(pool->Count(), 3u);
    EXPECT_EQ(pool->BufferSize(), 8192u);
    EXPECT_EQ(pool->Alignment(), 4096u);

    std::vector<BufferSlot*> taken;
    for (int i = 0; i < 3; ++i) taken.push_back(pool->Take(false));
    std::set<uint8_t*> starts;
    for (BufferSlot* slot : taken) {
      ASSERT_NE(slot, nullptr);
      EXPECT_EQ(slot->next, slot);  // marked as handed out
      EXPECT_EQ(slot->pool, pool.get());
      EXPECT_EQ(reinterpret_cast<uintptr_t>(slot->buffer) % 4096, 0u);
      EXPECT_TRUE(slot->buffer >= base && slot->buffer + 8192 <= base + (1 << 20));
      starts.insert(slot->buffer);
    }
    EXPECT_EQ(starts.size(), 3u);
    for (BufferSlot* slot : taken) std::memset(slot->buffer, 0xEE, 8192);

    // Empty: the non-blocking take reports none.
    EXPECT_EQ(pool->Take(false), nullptr);

    // A buffer given back twice is refused.
    BufferPool::GiveBack(taken[1]);
    EXPECT_EQ(ThrownText([&] { BufferPool::GiveBack(taken[1]); }), "56FEF7C8");
    // Destroyed with every buffer still handed out.
  }
  EXPECT_EQ(arena.outstanding, 0);
  EXPECT_EQ(arena.LiveCount(), 0u);
  EXPECT_EQ(arena.UsedOffset(), 0u);
}

TEST(BufferPool, ManyThreadsShareFewBuffers) {
  FaultArena arena;
  BufferPool::Handle pool = BufferPool::Create(arena, 256, 64, 2, nullptr);
  std::atomic<int> inUse{0};
  std::atomic<int> maxInUse{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        BufferSlot* slot = pool->Take(true);
        const int now = inUse.fetch_add(1) + 1;
        int seen = maxInUse.load();
        while (now > seen && !maxInUse.compare_exchange_weak(seen, now)) {
        }
        std::memset(slot->buffer, t, 256);
        for (int b = 0; b < 256; ++b) {
          if (slot->buffer[b] != t) overlap.store(true);
        }
        inUse.fetch_sub(1);
        BufferPool::GiveBack(slot);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_LE(maxInUse.load(), 2);
  EXPECT_NE(pool->Take(false), nullptr);
  EXPECT_NE(pool->Take(false), nullptr);
  EXPECT_EQ(pool->Take(false), nullptr);
}

TEST(BufferPool, CreationFailuresReleaseEverything) {
  // The pool object, its slot array, 3 slot records, then the 3 buffers.
  EXPECT_EQ(SweepAllocationFailures(
                [](FaultArena& arena) { BufferPool::Create(arena, 4096, 4096, 3, nullptr); }),
            (std::vector<std::string>{
                "std::bad_alloc", "std::bad_alloc", "std::bad_alloc", "std::bad_alloc",
                "std::bad_alloc", "failed to allocate memory: FF2EEA3A",
                "failed to allocate memory: FF2EEA3A", "failed to allocate memory: FF2EEA3A"}));
}
