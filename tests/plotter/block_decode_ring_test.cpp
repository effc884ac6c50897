#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "plotter/block_decode_ring.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/fault_arena.h"
#include "tests/support/thrown_text.h"

namespace {

using RingSlot = BlockDecodeRing::Slot;

// One pass: block b reads as the number b, works into b + 1 values and pairs that name it, and
// fails to read or work where asked. Takes are counted and checked for order; `endAt` ends the
// run at that take.
struct RingPass {
  uint64_t blocks;
  uint64_t readFailsAt = ~uint64_t{0};
  uint64_t workFailsAt = ~uint64_t{0};
  uint64_t endAt = ~uint64_t{0};
  uint64_t taken = 0;
  uint64_t read = 0;

  bool Run(BlockDecodeRing& ring) {
    return ring.Run(
        blocks,
        [this](RingSlot& slot) {
          if (read == readFailsAt) throw std::runtime_error("read " + std::to_string(read));
          std::memcpy(slot.bytes, &read, sizeof(read));
          std::memset(slot.bytes + 8, 0xA5, BlockDecodeRing::kBlockBytes - 8);
          ++read;
        },
        [this](RingSlot& slot) {
          uint64_t b;
          std::memcpy(&b, slot.bytes, sizeof(b));
          // Uneven work lets later blocks finish first.
          if (b % 7 == 3) std::this_thread::sleep_for(std::chrono::microseconds(200));
          if (b == workFailsAt) throw std::runtime_error("work " + std::to_string(b));
          const uint64_t n = b % 1000 + 1;
          for (uint64_t i = 0; i < n; ++i) {
            slot.values[BlockDecodeRing::kValues - 1 - i] = b;
            slot.pairs[i] = {static_cast<uint32_t>(b), static_cast<uint32_t>(i)};
          }
          slot.count = n;
        },
        [this](const RingSlot& slot) {
          const uint64_t b = taken++;
          EXPECT_EQ(slot.count, b % 1000 + 1);
          EXPECT_EQ(slot.values[BlockDecodeRing::kValues - slot.count], b);
          EXPECT_EQ(slot.pairs[slot.count - 1].x, b);
          EXPECT_EQ(slot.pairs[slot.count - 1].y, slot.count - 1);
          EXPECT_EQ(slot.bytes[BlockDecodeRing::kBlockBytes - 1], 0xA5);
          return taken == endAt;
        });
  }
};

}  // namespace

// Blocks come out in order, whole, at every worker count, also when later ones finish first.
TEST(BlockDecodeRing, TakesEveryBlockInOrder) {
  for (uint64_t threads : {1, 3, 8}) {
    BlockDecodeRing ring(HeapArena(), threads);
    for (uint64_t blocks : {0, 1, 5, 300}) {
      RingPass pass{blocks};
      EXPECT_FALSE(pass.Run(ring));
      EXPECT_EQ(pass.taken, blocks) << threads;
    }
  }
}

// A failure surfaces at its block's turn, the lowest first, after every block before it; a run
// ended by its taker before a failing block never sees the failure. The ring runs again after.
TEST(BlockDecodeRing, FailuresComeInBlockOrder) {
  BlockDecodeRing ring(HeapArena(), 4);
  // {read fails at, work fails at, take ends at, thrown text, blocks taken}
  const std::tuple<uint64_t, uint64_t, uint64_t, std::string, uint64_t> rows[] = {
      {30, 20, ~uint64_t{0}, "work 20", 20}, {30, 40, ~uint64_t{0}, "read 30", 30},
      {0, 40, ~uint64_t{0}, "read 0", 0},    {~uint64_t{0}, 0, ~uint64_t{0}, "work 0", 0},
      {30, 20, 10, "no exception", 10},
  };
  for (const auto& [readFails, workFails, endAt, text, taken] : rows) {
    RingPass pass{100, readFails, workFails, endAt};
    EXPECT_EQ(ThrownText([&] { EXPECT_TRUE(pass.Run(ring)); }), text);
    EXPECT_EQ(pass.taken, taken) << text;
    RingPass again{50};
    EXPECT_FALSE(again.Run(ring));
    EXPECT_EQ(again.taken, 50u);
  }
}

// What a ring takes from its arena stays within what it tells the job's memory rule, which stops
// growing past the most workers.
TEST(BlockDecodeRing, StaysWithinItsMemory) {
  EXPECT_EQ(BlockDecodeRing::Memory(300), BlockDecodeRing::Memory(BlockDecodeRing::kMaxWorkers));
  for (uint64_t threads : {1, 2, 8, 40}) {
    FaultArena arena;
    { BlockDecodeRing ring(arena, threads); }
    EXPECT_LE(arena.bytes, BlockDecodeRing::Memory(threads)) << threads;
    EXPECT_GE(arena.bytes, BlockDecodeRing::SlotCount(threads) *
                               (BlockDecodeRing::kBlockBytes + 8 * BlockDecodeRing::kValues));
    EXPECT_EQ(arena.outstanding, 0);
  }
}

// The job's least memory and the client's request count each worker at two blocks with separate
// rooms for values and pairs; with one room a slot, nearly twice the blocks fit in that figure.
TEST(BlockDecodeRing, FitsMoreSlotsInAFixedShareAWorker) {
  const uint64_t perWorkerPool =
      sizeof(std::thread) + sizeof(ArenaCondition) + sizeof(std::condition_variable);
  for (uint64_t threads = 1; threads <= BlockDecodeRing::kMaxWorkers; ++threads) {
    EXPECT_EQ(BlockDecodeRing::Memory(threads) - BlockDecodeRing::Memory(threads - 1),
              2 * (65536 + 16 * 65536 + 8) + perWorkerPool)
        << threads;
  }
  // {threads, slots}
  const std::pair<uint64_t, uint64_t> rows[] = {{1, 3},  {2, 7},   {3, 11},
                                                {8, 30}, {16, 60}, {40, 60}};
  for (const auto& [threads, slots] : rows) {
    EXPECT_EQ(BlockDecodeRing::SlotCount(threads), slots) << threads;
  }
}

// A pass turns a full room of values into pairs in place, the way the finalization does, while
// other slots are read and worked: no slot's room reaches into another's.
TEST(BlockDecodeRing, PairsOverwriteTheirOwnSlotsValuesOnly) {
  constexpr uint64_t kValues = BlockDecodeRing::kValues;
  for (uint64_t threads : {1, 2, 8}) {
    BlockDecodeRing ring(HeapArena(), threads);
    uint64_t read = 0, taken = 0;
    bool whole = true;
    EXPECT_FALSE(ring.Run(
        3 * BlockDecodeRing::SlotCount(threads) + 1,
        [&](RingSlot& slot) {
          std::memcpy(slot.bytes, &read, sizeof(read));
          ++read;
        },
        [&](RingSlot& slot) {
          uint64_t b;
          std::memcpy(&b, slot.bytes, sizeof(b));
          for (uint64_t i = 0; i < kValues; ++i) slot.values[i] = (b << 32) | i;
          // Every other value becomes a pair, written over the front of the room.
          uint64_t n = 0;
          for (uint64_t i = 0; i < kValues; ++i) {
            const uint64_t v = slot.values[i];
            if ((v & 1) == 0)
              slot.pairs[n++] = {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)};
          }
          slot.count = n;
        },
        [&](const RingSlot& slot) {
          const uint64_t b = taken++;
          whole &= slot.count == kValues / 2;
          for (uint64_t n = 0; n < slot.count; ++n) {
            whole &= slot.pairs[n].x == b && slot.pairs[n].y == 2 * n;
          }
          // The back half of the room still holds the block's own values.
          whole &= slot.values[kValues - 1] == ((b << 32) | (kValues - 1));
          return false;
        }));
    EXPECT_TRUE(whole) << threads;
    EXPECT_EQ(taken, read) << threads;
  }
}

// Reading goes on while a block is worked and taken: block 0 is worked only once the read of
// block 3 has begun, and that read waits for the take of block 0, which a ring reading on the
// taking thread never reaches. Reads stay one at a time, in block order, on one thread.
TEST(BlockDecodeRing, ReadsGoOnWhileABlockIsTaken) {
  BlockDecodeRing ring(HeapArena(), 2);
  const auto waitFor = [](const std::atomic<bool>& flag) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!flag.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag.load();
  };
  std::atomic<bool> readingBlock3{false};
  std::atomic<bool> takingBlock0{false};
  bool readSawTake = false;
  std::atomic<int> reading{0};
  uint64_t reads = 0;
  std::thread::id readerId;
  bool oneReader = true;
  uint64_t taken = 0;
  bool inOrder = true;
  EXPECT_FALSE(ring.Run(
      40,
      [&](RingSlot& slot) {
        oneReader &= reading.fetch_add(1) == 0;
        if (reads == 0) readerId = std::this_thread::get_id();
        oneReader &= readerId == std::this_thread::get_id();
        if (reads == 3) {
          readingBlock3 = true;
          readSawTake = waitFor(takingBlock0);
        }
        std::memcpy(slot.bytes, &reads, sizeof(reads));
        ++reads;
        reading.fetch_sub(1);
      },
      [&](RingSlot& slot) {
        std::memcpy(&slot.count, slot.bytes, sizeof(slot.count));
        if (slot.count == 0) waitFor(readingBlock3);
      },
      [&](const RingSlot& slot) {
        if (taken == 0) takingBlock0 = true;
        inOrder &= slot.count == taken++;
        return false;
      }));
  EXPECT_TRUE(readSawTake);
  EXPECT_TRUE(oneReader);
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(taken, 40u);
  EXPECT_EQ(reads, 40u);
}

// Block numbers share a word with the slot's state, so a run past them is refused up front.
TEST(BlockDecodeRing, RefusesMoreBlocksThanItCanNumber) {
  BlockDecodeRing ring(HeapArena(), 2);
  RingPass tooMany{BlockDecodeRing::kMaxBlocks + 1};
  EXPECT_EQ(ThrownText([&] { tooMany.Run(ring); }), "5E0C7A31");
  EXPECT_EQ(tooMany.read, 0u);
  RingPass again{20};
  EXPECT_FALSE(again.Run(ring));
  EXPECT_EQ(again.taken, 20u);
}
