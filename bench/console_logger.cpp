#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "runtime/console_logger.h"

// What a logging thread pays per line while the printer runs: a bounded append, even when the
// terminal takes far longer per line than the callers produce them.
static void BM_LogLineQueuedBehindSlowTerminal(benchmark::State& state) {
  std::atomic<bool> slow{true};
  ConsoleLogger logger([&slow](const std::string&) {
    if (slow.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  });
  logger.StartPrinter();
  const std::string text(80, 'x');
  for (auto _ : state) logger.LogLine(text);
  state.SetItemsProcessed(state.iterations());
  slow.store(false);  // let the final drain finish quickly
}
BENCHMARK(BM_LogLineQueuedBehindSlowTerminal);

static void BM_LogFFormatted(benchmark::State& state) {
  ConsoleLogger logger([](const std::string& text) { benchmark::DoNotOptimize(text.data()); });
  int i = 0;
  for (auto _ : state) logger.LogF("Plotting, %d%% done, %s elapsed", ++i % 100, "01:02:03");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogFFormatted);
