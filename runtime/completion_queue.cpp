#include "runtime/completion_queue.h"

std::mutex CompletionFallbackMutex;

CompletionEvent::CompletionEvent(CompletionQueue* owner) : owner_(owner) {}

CompletionEvent::~CompletionEvent() {
  if (owner_ == nullptr) return;
  std::lock_guard<std::mutex> lock(owner_->mutex_);
  if (!signalled_.load()) return;
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else if (owner_->head_ == this) {
    owner_->head_ = next_;
  }
  if (next_ != nullptr) {
    next_->prev_ = prev_;
  } else if (owner_->tail_ == this) {
    owner_->tail_ = prev_;
  }
  prev_ = next_ = nullptr;
}

std::mutex& CompletionEvent::GuardMutex() const {
  return owner_ != nullptr ? owner_->mutex_ : CompletionFallbackMutex;
}

void CompletionEvent::Signal() {
  // The notifications are sent while the mutex is still held: once it is released, the consumer
  // (or a waiter) may take and delete this event, and nothing of it may be touched then.
  if (owner_ == nullptr) {
    std::lock_guard<std::mutex> lock(CompletionFallbackMutex);
    if (signalled_.load()) return;
    signalled_.store(true);
    cv_.notify_all();
    return;
  }
  CompletionQueue& queue = *owner_;
  std::lock_guard<std::mutex> lock(queue.mutex_);
  if (signalled_.load()) return;
  prev_ = queue.tail_;
  if (queue.tail_ != nullptr) {
    queue.tail_->next_ = this;
  } else {
    queue.head_ = this;
  }
  queue.tail_ = this;
  signalled_.store(true);
  queue.cv_.notify_all();
  cv_.notify_all();
}

void CompletionEvent::WaitSignalled() {
  std::unique_lock<std::mutex> lock(GuardMutex());
  cv_.wait(lock, [this] { return signalled_.load(); });
}

CompletionEvent* CompletionQueue::TakeLocked() {
  CompletionEvent* event = head_;
  if (event == nullptr) return nullptr;
  head_ = event->next_;
  if (head_ == nullptr) {
    tail_ = nullptr;
  } else {
    head_->prev_ = nullptr;
  }
  event->prev_ = event->next_ = nullptr;
  return event;
}

CompletionEvent* CompletionQueue::TryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  return TakeLocked();
}

CompletionEvent* CompletionQueue::TakeFor(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (head_ == nullptr) cv_.wait_for(lock, limit, [this] { return head_ != nullptr; });
  return TakeLocked();
}
