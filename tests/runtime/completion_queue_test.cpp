#include "runtime/completion_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

// Stands in for a plot job: an id, and a count of destructions.
class TestJob : public CompletionEvent {
 public:
  TestJob(CompletionQueue* owner, int id, std::atomic<int>* destroyed = nullptr)
      : CompletionEvent(owner), id(id), destroyed_(destroyed) {}
  ~TestJob() override {
    if (destroyed_ != nullptr) destroyed_->fetch_add(1);
  }

  // Returns the moment the signalling thread lets go of the event's mutex, without sleeping.
  void SpinUntilReleased() {
    while (!IsSignalled()) {
    }
    while (!GuardMutex().try_lock()) {
    }
    GuardMutex().unlock();
  }

  const int id;

 private:
  std::atomic<int>* destroyed_;
};

int TakeId(CompletionQueue& queue) {
  CompletionEvent* event = queue.TryTake();
  if (event == nullptr) return -1;
  const int id = static_cast<TestJob*>(event)->id;
  delete event;
  return id;
}

}  // namespace

TEST(CompletionQueue, TakenInSignalOrderOnce) {
  CompletionQueue queue;
  EXPECT_EQ(queue.TryTake(), nullptr);
  auto* first = new TestJob(&queue, 1);
  auto* second = new TestJob(&queue, 2);
  auto* third = new TestJob(&queue, 3);
  EXPECT_FALSE(second->IsSignalled());
  second->Signal();
  first->Signal();
  second->Signal();  // no second append
  third->Signal();
  first->Signal();
  EXPECT_TRUE(second->IsSignalled());
  EXPECT_EQ(TakeId(queue), 2);
  EXPECT_EQ(TakeId(queue), 1);
  EXPECT_EQ(TakeId(queue), 3);
  EXPECT_EQ(TakeId(queue), -1);

  // After the queue ran empty, head and tail start over.
  auto* fourth = new TestJob(&queue, 4);
  fourth->Signal();
  EXPECT_EQ(queue.TakeFor(milliseconds(1)), fourth);
  delete fourth;
  EXPECT_EQ(queue.TakeFor(milliseconds(5)), nullptr);
}

TEST(CompletionQueue, DestroyedWhileQueuedAtHeadMiddleAndTail) {
  CompletionQueue queue;
  std::vector<TestJob*> jobs;
  for (int i = 0; i < 7; ++i) jobs.push_back(new TestJob(&queue, i));
  for (TestJob* job : jobs) job->Signal();
  delete jobs[0];  // head
  delete jobs[3];  // middle
  delete jobs[6];  // tail
  delete jobs[5];  // the new tail
  auto* late = new TestJob(&queue, 7);
  late->Signal();  // appended after the tail that is left
  EXPECT_EQ(TakeId(queue), 1);
  // A taken event's destruction leaves the queue alone.
  CompletionEvent* taken = queue.TryTake();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(static_cast<TestJob*>(taken)->id, 2);
  delete taken;
  EXPECT_EQ(TakeId(queue), 4);
  EXPECT_EQ(TakeId(queue), 7);
  EXPECT_EQ(TakeId(queue), -1);

  // Destroying the only queued event empties the queue; unsignalled events touch nothing.
  auto* only = new TestJob(&queue, 8);
  auto* quiet = new TestJob(&queue, 9);
  only->Signal();
  delete only;
  delete quiet;
  EXPECT_EQ(queue.TryTake(), nullptr);
  auto* next = new TestJob(&queue, 10);
  next->Signal();
  EXPECT_EQ(TakeId(queue), 10);

  // The event that became head by a take leaves the queue cleanly when it is destroyed.
  std::vector<TestJob*> three;
  for (int i = 11; i < 14; ++i) three.push_back(new TestJob(&queue, i));
  for (TestJob* job : three) job->Signal();
  EXPECT_EQ(TakeId(queue), 11);
  delete three[1];
  EXPECT_EQ(TakeId(queue), 13);
  EXPECT_EQ(TakeId(queue), -1);
}

TEST(CompletionQueue, ProducersSignalWhileConsumerDeletes) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 3000;
  CompletionQueue queue;
  std::atomic<int> destroyed{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        (new TestJob(&queue, p * kPerProducer + i, &destroyed))->Signal();
      }
    });
  }
  // The consumer deletes each event the moment it has taken it.
  std::vector<int> lastSeen(kProducers, -1);
  int taken = 0;
  bool ordered = true;
  while (taken < kProducers * kPerProducer) {
    CompletionEvent* event = queue.TakeFor(milliseconds(100));
    if (event == nullptr) continue;
    const int id = static_cast<TestJob*>(event)->id;
    delete event;
    const int producer = id / kPerProducer;
    if (id <= lastSeen[producer]) ordered = false;
    lastSeen[producer] = id;
    ++taken;
  }
  for (auto& p : producers) p.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(destroyed.load(), kProducers * kPerProducer);
  EXPECT_EQ(queue.TryTake(), nullptr);
}

TEST(CompletionEvent, WaiterDeletesRightAfterWaking) {
  // The waiter frees the event as soon as it may, with and without an owner queue: once by a
  // sleeping wait, once by spinning on the event's mutex so that it gets in the instant the
  // signalling thread lets go.
  CompletionQueue queue;
  for (CompletionQueue* owner : {static_cast<CompletionQueue*>(nullptr), &queue}) {
    for (bool spin : {false, true}) {
      for (int round = 0; round < 500; ++round) {
        auto* job = new TestJob(owner, round);
        std::thread signaller([job] { job->Signal(); });
        if (spin) {
          job->SpinUntilReleased();
        } else {
          job->WaitSignalled();
        }
        delete job;
        signaller.join();
      }
    }
  }
  EXPECT_EQ(queue.TryTake(), nullptr);
}
