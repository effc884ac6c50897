#pragma once

#include <atomic>
#include <thread>
#include <vector>

// Runs check(thread, round) for `rounds` rounds on each of `threads` threads at once; returns how
// many of the calls returned false.
template <typename Check>
int CountFailuresAcrossThreads(int threads, int rounds, Check check) {
  std::atomic<int> failures{0};
  {
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (int round = 0; round < rounds; ++round) {
          if (!check(t, round)) failures.fetch_add(1);
        }
      });
    }
  }
  return failures.load();
}
