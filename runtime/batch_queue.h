#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>

#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"

// A bounded ring of 64-bit items drained by one consumer thread, which hands them in push order,
// at most kMaxBatch at a time, to the installed consumer. A consumer failure stops the flow and is
// rethrown by Push and WaitIdle until ResetConsumer.
//
// Per pass: SetConsumer, Push from any threads, WaitIdle, ResetConsumer (also after a failure).
// The consumer runs outside the queue lock, so producers keep filling the ring meanwhile; it must
// never push into its own queue.
class BatchQueue {
  struct Key {
    explicit Key() = default;
  };

 public:
  using Consumer = std::function<void(std::span<const uint64_t>)>;
  using Handle = ArenaPtr<BatchQueue>;
  static constexpr uint64_t kMaxBatch = 1024;

  // The object comes from `arena`, the ring of `capacity` items from `ringArena` (the same arena
  // when null). Starts the consumer thread. Raises "C2946A8E" for a capacity of 0.
  static Handle Create(MemoryArena& arena, uint64_t capacity, MemoryArena* ringArena);

  // Raises "4E6E5F0F" when a consumer is already installed.
  void SetConsumer(const Consumer& consumer);
  // Copies n items in, blocking while the ring is full.
  void Push(const uint64_t* items, uint64_t n);
  // Waits for room for n items (at most the capacity) and returns it, in push order, as two
  // spans of the ring; the second is empty unless the room wraps around the ring's end. Any
  // threads may fill the room; nothing else may be pushed until Commit hands it on.
  // Raises "5B0E2D94" for more items than the ring holds.
  std::array<std::span<uint64_t>, 2> Reserve(uint64_t n);
  void Commit(uint64_t n);
  // Returns once every pushed item has been consumed and the consumer has returned.
  void WaitIdle();
  // Waits for a consumer call under way, then uninstalls the consumer, clears a stored failure
  // and discards what is queued.
  void ResetConsumer();

  uint64_t Capacity() const { return ring_.Count(); }

  BatchQueue(Key);
  ~BatchQueue();
  BatchQueue(const BatchQueue&) = delete;
  BatchQueue& operator=(const BatchQueue&) = delete;

 private:
  void ConsumerThread();
  // Both run with the lock held. A producer waits until `need` items fit beside the queued ones;
  // the rest wait for the consumer to stop between batches (`empty`: with nothing queued).
  void WaitForRoom(std::unique_lock<std::mutex>& lock, uint64_t need);
  void WaitForPause(std::unique_lock<std::mutex>& lock, bool empty);
  // Wakes the consumer if it is asleep; called after the lock is released.
  void WakeConsumer(bool asleep);

  Consumer consumer_;
  ArenaBuffer<uint64_t> ring_;
  uint64_t readPos_ = 0;
  uint64_t writePos_ = 0;
  uint64_t count_ = 0;
  bool consuming_ = false;  // a batch is with the consumer
  std::mutex mutex_;
  bool stop_ = false;
  std::thread thread_;
  // Each sleeper has its own signal, raised only when what it waits for may be there: waking a
  // producer after every batch would cost the consumer a system call per batch.
  std::condition_variable itemsReady_;
  std::condition_variable roomFreed_;
  std::condition_variable paused_;
  bool consumerAsleep_ = false;
  // The smallest room a sleeping producer needs, UINT64_MAX for none.
  uint64_t roomWanted_ = UINT64_MAX;
  uint64_t pauseWaiters_ = 0;  // waiting for the consumer to stop between batches
  uint64_t idleWaiters_ = 0;   // waiting for that with nothing queued
  std::exception_ptr failure_;
};
