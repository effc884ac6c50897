#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class CompletionQueue;

// Stands in for the owner queue's mutex for events that have no owner.
extern std::mutex CompletionFallbackMutex;

// A one-shot completion signal. With an owner queue, signalling also appends the event to that
// queue, so that one consumer collects the events of many producers in completion order.
class CompletionEvent {
 public:
  explicit CompletionEvent(CompletionQueue* owner);
  // Unlinks an event that is still queued.
  virtual ~CompletionEvent();
  CompletionEvent(const CompletionEvent&) = delete;
  CompletionEvent& operator=(const CompletionEvent&) = delete;

  // Only the first call has an effect; may be called from any thread.
  void Signal();
  // Blocks until the event is signalled.
  void WaitSignalled();
  bool IsSignalled() const { return signalled_.load(); }
  CompletionQueue* Owner() const { return owner_; }

 protected:
  // The mutex that guards this event's flag: the owner's, else the fallback one.
  std::mutex& GuardMutex() const;
  std::condition_variable& Condition() { return cv_; }

 private:
  friend class CompletionQueue;

  CompletionQueue* const owner_;
  std::condition_variable cv_;
  CompletionEvent* prev_ = nullptr;
  CompletionEvent* next_ = nullptr;
  std::atomic<bool> signalled_{false};
};

// The signalled events of many producers, oldest first, for one consumer.
class CompletionQueue {
 public:
  CompletionQueue() = default;
  CompletionQueue(const CompletionQueue&) = delete;
  CompletionQueue& operator=(const CompletionQueue&) = delete;

  // Takes the oldest signalled event; null when none is queued. The caller owns it.
  CompletionEvent* TryTake();
  // As TryTake, waiting up to `limit` for an event to arrive.
  CompletionEvent* TakeFor(std::chrono::milliseconds limit);

  std::mutex& Mutex() { return mutex_; }

 private:
  friend class CompletionEvent;

  CompletionEvent* TakeLocked();

  std::condition_variable cv_;
  std::mutex mutex_;
  CompletionEvent* head_ = nullptr;
  CompletionEvent* tail_ = nullptr;
};
