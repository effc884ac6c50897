#include "runtime/thread_pool.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

void DestroyConditionArray(ArenaBuffer<ArenaCondition>& array) {
  for (uint64_t i = 0; i < array.Count(); ++i) {
    ArenaCondition& entry = array[i];
    if (entry.cv != nullptr) {
      entry.cv->~condition_variable();
      entry.arena->Deallocate(entry.cv);
      entry.cv = nullptr;
    }
  }
  array.Release();
}

ThreadPool::ThreadPool(Key, int32_t priority, uint64_t workerCount)
    : priority_(priority), workerCount_(workerCount) {}

ThreadPool::Handle ThreadPool::Create(MemoryArena& arena, uint64_t workerCount,
                                      MemoryArena* arrayArena, int32_t priority) {
  // Without a worker a posted task would never complete.
  if (workerCount == 0) throw std::runtime_error("E05B7D41");
  MemoryArena* arrays = arrayArena != nullptr ? arrayArena : &arena;
  Handle pool = NewInArena<ThreadPool>(arena, Key{}, priority, workerCount);

  // From here on a failure leaves a partly built pool whose destructor tears it down.
  ThreadPool& p = *pool;
  if (workerCount > ~uint64_t{0} / sizeof(std::thread)) throw std::bad_alloc();
  void* threadMemory = arrays->Allocate(workerCount * sizeof(std::thread), alignof(std::thread));
  if (threadMemory == nullptr) throw std::bad_alloc();
  p.threads_ = static_cast<std::thread*>(threadMemory);
  for (uint64_t i = 0; i < workerCount; ++i) new (&p.threads_[i]) std::thread();
  p.threadArena_ = arrays;

  p.wakeSignals_.Allocate(*arrays, workerCount);
  for (uint64_t i = 0; i < workerCount; ++i) p.wakeSignals_[i] = ArenaCondition{arrays, nullptr};
  for (uint64_t i = 0; i < workerCount; ++i) {
    void* cvMemory =
        arrays->Allocate(sizeof(std::condition_variable), alignof(std::condition_variable));
    if (cvMemory == nullptr) throw std::bad_alloc();
    p.wakeSignals_[i].cv = new (cvMemory) std::condition_variable();
    p.threads_[i] = std::thread(&ThreadPool::WorkerLoop, &p, i);
  }
  return pool;
}

void ThreadPool::Stop(Handle& handle) { handle.reset(); }

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  for (uint64_t i = 0; i < wakeSignals_.Count(); ++i) {
    if (wakeSignals_[i].cv != nullptr) wakeSignals_[i].cv->notify_all();
  }
  if (threads_ != nullptr) {
    for (uint64_t i = 0; i < workerCount_; ++i) {
      if (threads_[i].joinable()) threads_[i].join();
    }
  }
  DestroyConditionArray(wakeSignals_);
  if (threads_ != nullptr) {
    for (uint64_t i = 0; i < workerCount_; ++i) {
      if (threads_[i].joinable()) std::terminate();
      threads_[i].~thread();
    }
    threadArena_->Deallocate(threads_);
    threads_ = nullptr;
  }
}

void ThreadPool::Post(const Task& task, uint64_t parts) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !installed_; });
    task_ = task;
    installed_ = true;
    nextPart_ = 0;
    finishedParts_ = 0;
    partCount_ = parts;
  }
  for (uint64_t i = 0; i < workerCount_ && i < parts; ++i) wakeSignals_[i].cv->notify_all();
}

void ThreadPool::Wait() {
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return finishedParts_ == partCount_; });
    task_ = nullptr;
    installed_ = false;
    finishedParts_ = 0;
    nextPart_ = 0;
    partCount_ = 0;
    failure = std::exchange(failure_, nullptr);
  }
  // Wakes a poster waiting for the task slot.
  done_.notify_all();
  if (failure) std::rethrow_exception(failure);
}

void ThreadPool::Run(const Task& task, uint64_t parts) {
  Post(task, parts);
  Wait();
}

void ThreadPool::RunForEachBucket(const Task& task) { Run(task, 256); }

void ThreadPool::WorkerLoop(uint64_t index) {
  if (priority_ != 0) {
    errno = 0;
    const int result = nice(priority_ * -19);
    (void)result;  // lower priority is a wish, not a requirement
  }
  for (;;) {
    uint64_t part = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      std::condition_variable& wake = *wakeSignals_[index].cv;
      for (;;) {
        if (stop_) return;
        if (nextPart_ < partCount_ && index < workerCount_) break;
        wake.wait(lock);
      }
      part = nextPart_++;
    }
    if (index + 1 < workerCount_) wakeSignals_[index + 1].cv->notify_all();

    // A copy would cost an allocation per part; the task stays installed until Wait, which
    // cannot return before this part is counted.
    try {
      task_(index, part);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      failure_ = std::current_exception();
    }

    bool last = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last = ++finishedParts_ == partCount_;
    }
    if (last) done_.notify_all();
  }
}
