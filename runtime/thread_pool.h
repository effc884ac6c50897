#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "runtime/arena_buffer.h"
#include "runtime/memory_arena.h"

// A condition variable placed in an arena, with the arena it goes back to.
struct ArenaCondition {
  MemoryArena* arena;
  std::condition_variable* cv;
};

// Destroys every condition variable that is set, gives each back to its arena, then releases the
// array itself.
void DestroyConditionArray(ArenaBuffer<ArenaCondition>& array);

// A fixed set of worker threads that runs one task at a time as parts 0 .. P-1, handed out in
// increasing order. A failing part does not cancel the others; the last failure recorded is
// rethrown to the poster by Wait.
class ThreadPool {
  struct Key {
    explicit Key() = default;
  };

 public:
  // (worker index, part index)
  using Task = std::function<void(uint64_t, uint64_t)>;
  using Handle = ArenaPtr<ThreadPool>;

  // The pool object comes from `arena`, the thread and wake-signal arrays from `arrayArena` (the
  // same arena when null). A priority other than 0 makes each worker call nice(priority * -19)
  // once; -1 gives niceness 19. Raises "E05B7D41" for 0 workers.
  static Handle Create(MemoryArena& arena, uint64_t workerCount, MemoryArena* arrayArena,
                       int32_t priority);
  // Stops and joins the workers and frees the pool.
  static void Stop(Handle& handle);

  // Waits until no task is installed, then installs a copy of `task` for `parts` parts.
  void Post(const Task& task, uint64_t parts);
  // Waits for every part, uninstalls the task and rethrows the stored failure, if any.
  void Wait();
  void Run(const Task& task, uint64_t parts);
  // 256 parts, one per bucket.
  void RunForEachBucket(const Task& task);

  uint64_t WorkerCount() const { return workerCount_; }

  ThreadPool(Key, int32_t priority, uint64_t workerCount);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

 private:
  void WorkerLoop(uint64_t index);

  int32_t priority_;
  uint64_t nextPart_ = 0;
  uint64_t partCount_ = 0;
  uint64_t finishedParts_ = 0;
  uint64_t workerCount_;
  std::exception_ptr failure_;
  std::mutex mutex_;
  Task task_;
  bool installed_ = false;
  MemoryArena* threadArena_ = nullptr;
  std::thread* threads_ = nullptr;
  ArenaBuffer<ArenaCondition> wakeSignals_;
  bool stop_ = false;
  std::condition_variable done_;
};
