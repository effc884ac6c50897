#include "runtime/batch_queue.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

BatchQueue::BatchQueue(Key) {}

BatchQueue::Handle BatchQueue::Create(MemoryArena& arena, uint64_t capacity,
                                      MemoryArena* ringArena) {
  // A ring without room would block every push for ever.
  if (capacity == 0) throw std::runtime_error("C2946A8E");
  Handle queue = NewInArena<BatchQueue>(arena, Key{});
  queue->ring_.Allocate(ringArena != nullptr ? *ringArena : arena, capacity);
  queue->thread_ = std::thread(&BatchQueue::ConsumerThread, queue.get());
  return queue;
}

BatchQueue::~BatchQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  itemsReady_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BatchQueue::SetConsumer(const Consumer& consumer) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (consumer_) throw std::runtime_error("4E6E5F0F");
  WaitForPause(lock, false);
  consumer_ = consumer;
}

void BatchQueue::Push(const uint64_t* items, uint64_t n) {
  if (n == 0) return;
  const uint64_t capacity = ring_.Count();
  // A producer with more than fits waits for a share of the ring rather than for each batch the
  // consumer takes.
  const uint64_t share = std::max<uint64_t>(1, capacity / 4);
  uint64_t* ring = ring_.Data();
  while (n != 0) {
    bool asleep = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      WaitForRoom(lock, std::min(n, share));
      const uint64_t take = std::min(n, capacity - count_);
      const uint64_t first = std::min(take, capacity - writePos_);
      std::memcpy(ring + writePos_, items, first * sizeof(uint64_t));
      std::memcpy(ring, items + first, (take - first) * sizeof(uint64_t));
      writePos_ = (writePos_ + take) % capacity;
      count_ += take;
      items += take;
      n -= take;
      asleep = std::exchange(consumerAsleep_, false);
    }
    WakeConsumer(asleep);
  }
}

std::array<std::span<uint64_t>, 2> BatchQueue::Reserve(uint64_t n) {
  const uint64_t capacity = ring_.Count();
  if (n > capacity) throw std::runtime_error("5B0E2D94");
  std::unique_lock<std::mutex> lock(mutex_);
  WaitForRoom(lock, n);
  // The room lies past every unread item, so the consumer never reads it before Commit.
  const uint64_t first = std::min(n, capacity - writePos_);
  return {std::span<uint64_t>(ring_.Data() + writePos_, first),
          std::span<uint64_t>(ring_.Data(), n - first)};
}

void BatchQueue::Commit(uint64_t n) {
  if (n == 0) return;
  bool asleep = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writePos_ = (writePos_ + n) % ring_.Count();
    count_ += n;
    asleep = std::exchange(consumerAsleep_, false);
  }
  WakeConsumer(asleep);
}

void BatchQueue::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  WaitForPause(lock, true);
}

void BatchQueue::ResetConsumer() {
  bool wanted = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // The consumer object must outlive the call that runs it.
    WaitForPause(lock, false);
    consumer_ = nullptr;
    failure_ = nullptr;
    readPos_ = writePos_ = count_ = 0;
    wanted = std::exchange(roomWanted_, UINT64_MAX) != UINT64_MAX;
  }
  if (wanted) roomFreed_.notify_all();
}

void BatchQueue::WaitForRoom(std::unique_lock<std::mutex>& lock, uint64_t need) {
  const uint64_t capacity = ring_.Count();
  for (;;) {
    if (failure_) std::rethrow_exception(failure_);
    if (need <= capacity - count_) return;
    // Every sleeper is woken at once and the mark cleared; those still short set it again.
    roomWanted_ = std::min(roomWanted_, need);
    roomFreed_.wait(lock);
  }
}

void BatchQueue::WaitForPause(std::unique_lock<std::mutex>& lock, bool empty) {
  for (;;) {
    // A failed queue is never drained, so WaitIdle would wait for ever.
    if (empty && failure_) std::rethrow_exception(failure_);
    if (!consuming_ && (!empty || count_ == 0)) return;
    uint64_t& waiters = empty ? idleWaiters_ : pauseWaiters_;
    ++waiters;
    paused_.wait(lock);
    --waiters;
  }
}

void BatchQueue::WakeConsumer(bool asleep) {
  if (asleep) itemsReady_.notify_one();
}

void BatchQueue::ConsumerThread() {
  // One contiguous span even when a batch wraps around the ring's end.
  uint64_t batch[kMaxBatch];
  const uint64_t capacity = ring_.Count();
  const uint64_t* ring = ring_.Data();
  for (;;) {
    uint64_t size = 0;
    bool roomReady = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      for (;;) {
        if (stop_) return;
        // A failed queue stays idle until it is reset.
        if (!failure_ && count_ != 0) break;
        consumerAsleep_ = true;
        itemsReady_.wait(lock);
        consumerAsleep_ = false;
      }
      size = std::min(count_, kMaxBatch);
      const uint64_t first = std::min(size, capacity - readPos_);
      std::memcpy(batch, ring + readPos_, first * sizeof(uint64_t));
      std::memcpy(batch + first, ring, (size - first) * sizeof(uint64_t));
      readPos_ = (readPos_ + size) % capacity;
      count_ -= size;
      consuming_ = true;
      if (roomWanted_ <= capacity - count_) {
        roomWanted_ = UINT64_MAX;
        roomReady = true;
      }
    }
    // Producers fill the ring while the consumer works on its copy.
    if (roomReady) roomFreed_.notify_all();
    std::exception_ptr failure;
    try {
      consumer_(std::span<const uint64_t>(batch, size));
    } catch (...) {
      failure = std::current_exception();
    }
    bool wakeWaiters = false;
    bool wakeProducers = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      consuming_ = false;
      if (failure) {
        failure_ = failure;
        wakeProducers = std::exchange(roomWanted_, UINT64_MAX) != UINT64_MAX;
      }
      wakeWaiters = pauseWaiters_ != 0 || (idleWaiters_ != 0 && (count_ == 0 || failure_));
    }
    if (wakeProducers) roomFreed_.notify_all();
    if (wakeWaiters) paused_.notify_all();
  }
}
