#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "manager/client.h"
#include "plotter/block_decode_ring.h"
#include "plotter/plot_engine.h"
#include "tests/manager/fake_client.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/thrown_text.h"

namespace {

// A FakeClient that counts its destructions.
std::unique_ptr<FakeClient> Counted(std::atomic<int>& destroyed) {
  auto client = std::make_unique<FakeClient>();
  client->onDestroy = [&destroyed] { destroyed.fetch_add(1); };
  return client;
}

}  // namespace

TEST(Client, RequestsSetTheirFlagsAndReportManagerState) {
  FakeClient client;
  EXPECT_EQ(client.StartupScanPending.load(), 1);
  EXPECT_FALSE(client.IsFinished());

  const auto before = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(client.RequestStop(), 0u);  // idle
  EXPECT_TRUE(client.StopRequested());
  EXPECT_FALSE(client.CancelRequested());
  EXPECT_GT(client.NextRun(), before);

  FakeClient plotting;
  plotting.SetManagerState(1);
  EXPECT_EQ(plotting.RequestShutdown(false), 1u);
  EXPECT_TRUE(plotting.CancelRequested());
  EXPECT_FALSE(plotting.StopRequested());

  FakeClient finalizing;
  finalizing.SetManagerState(2);
  EXPECT_EQ(finalizing.RequestShutdown(true), 2u);
  EXPECT_TRUE(finalizing.StopRequested());
  EXPECT_FALSE(finalizing.CancelRequested());
  EXPECT_EQ(finalizing.RequestStop(), 2u);

  finalizing.SetFinished();
  EXPECT_TRUE(finalizing.IsFinished());
}

// Each check in its turn, the memory texts with the clamped thread counts in their sums.
TEST(Client, ConstructorChecksInOrder) {
  struct Built : Client {
    Built(const ClientConfig& config, const std::vector<DirectorySpec>& dirs)
        : Client(
              config, dirs.data(), dirs.size(), [](const std::string&) {},
              ClientHost{nullptr, nullptr, false}) {}
  };
  TestDirectory dir;
  const std::vector<DirectorySpec> twice(2, {dir.Path(), -1, -1, 1, 1, 1, 0}),
      absent = {{"/absent/a"}, {"/absent/b"}, {"/absent/c"}};
  // clang-format off
  const std::tuple<ClientConfig, std::vector<DirectorySpec>, std::string> rows[] = {
      {{.plottingThreads = 1, .miningThreads = 1, .readThreads = ~0u}, twice, "EC4C6B02"},
      {{.plottingThreads = 0, .miningThreads = 0}, {}, "9B39D1E2"},
      {{.plottingThreads = 1, .miningThreads = 0}, {}, "E7AEDBDD"},
      {{.plottingThreads = 1, .miningThreads = 200, .memoryAmount = 1}, absent,
       "Not enough memory, at least 0.18GiB needed even when plotting and finalizing are disabled"},
      {{.compressionLevelMinusOne = 5, .plottingThreads = 1, .miningThreads = 1}, twice,
       "Invalid compression level, maximum allowed value is 5"},
      {{.plottingThreads = 300, .miningThreads = 1, .memoryAmount = (64 << 20) + 1,
        .noPlotting = 1, .miningOff = 1, .testThreadOff = 1},
       {twice[0]}, "Too few memory specified, at least 1.89GiB needed"},
  };
  // clang-format on
  for (const auto& [config, dirs, text] : rows) {
    EXPECT_EQ(ThrownText([&, &config = config, &dirs = dirs] { Built(config, dirs); }), text);
  }
}

// Without -m a full-size plot asks for its figures unchanged; a thinned one for what grows with
// the plot thinned, while the finalization's bitmaps and buffers keep their size. The least
// plotting budget accepted builds the plot engine.
TEST(Client, AutomaticMemoryRequestFollowsThePlotScale) {
  struct Built : Client {
    Built(const ClientConfig& config, const DirectorySpec& dir)
        : Client(
              config, &dir, 1, [](const std::string&) {}, ClientHost{nullptr, nullptr, false}) {}
    using Client::MinPlottingMemory, Client::PlotJobSettings, Client::PlottingMemoryRequest;
  };
  TestDirectory dir;
  const PlotScale full = PlotScale::Production(), thin = PlotScale::WithShift(10);
  // The plot's least: its estimate and 1,024 stream blocks of 4 KiB with their bookkeeping. The
  // finalization's: its fixed part, the region reader's 256 MiB, thinned at d = 10, and the
  // decode ring's slots for two workers.
  const uint64_t ring = BlockDecodeRing::Memory(2);
  const uint64_t plot = EstimateJobMemory({2, 0, 1, thin}), least = plot + 1024 * (4096 + 128),
                 finalize = 1654653952 + (256 << 10) + ring,
                 fullFinalize = 1654653952 + (256 << 20) + ring;
  // {scale, no plotting, no finalizing, request, minimum}
  const std::tuple<PlotScale, uint8_t, uint8_t, uint64_t, uint64_t> rows[] = {
      {full, 1, 0, uint64_t{4} << 30, fullFinalize},
      {full, 0, 0, 129940101384, 2668271880},
      {thin, 1, 0, finalize + 2573822, finalize},
      {thin, 0, 0, finalize + 2573822, std::max(finalize, least)},
      {thin, 0, 1, plot + 125337600, least},
  };
  for (const auto& [scale, noPlotting, noFinalizing, request, minimum] : rows) {
    Built client({.plottingThreads = 2, .miningThreads = 1, .noPlotting = noPlotting,
                  .noFinalizing = noFinalizing, .miningOff = 1, .testThreadOff = 1, .scale = scale},
                 {dir.Path(), -1, -1, 1, 1, 1, 0});
    EXPECT_EQ(std::pair(client.PlottingMemoryRequest, client.MinPlottingMemory),
              std::pair(request, minimum))
        << scale.d << +noPlotting << +noFinalizing;
    if (noFinalizing == 0) continue;
    PlotEngineSettings settings = client.PlotJobSettings;
    settings.memoryBudget = client.MinPlottingMemory;
    PlotEngineHandle engine =
        CreatePlotEngine(HeapArena(), settings, HeapArena(), {}, nullptr, nullptr);
    DeletePlotEngine(engine);
  }
}

TEST(ClientHolder, OwnsTheClientUntilClearedOrReleased) {
  std::atomic<int> destroyed{0};
  {
    ClientHolder holder;
    EXPECT_EQ(holder.Get(), nullptr);
    auto first = Counted(destroyed);
    Client* firstRaw = first.get();
    holder.Reset(std::move(first));
    EXPECT_EQ(holder.Get(), firstRaw);
    holder.Reset(Counted(destroyed));  // replaces and destroys
    EXPECT_EQ(destroyed, 1);
    EXPECT_NE(holder.Get(), firstRaw);
    std::unique_ptr<Client> released = holder.Release();
    EXPECT_EQ(holder.Get(), nullptr);
    EXPECT_EQ(destroyed, 1);
    released.reset();
    EXPECT_EQ(destroyed, 2);
    holder.Reset(Counted(destroyed));
  }
  EXPECT_EQ(destroyed, 3);  // the holder's destructor destroyed the Client it still held
}

TEST(ClientHolder, ClientIsNotDestroyedWhileAnotherThreadUsesIt) {
  std::atomic<int> destroyed{0};
  ClientHolder holder;
  holder.Reset(Counted(destroyed));
  std::atomic<bool> inside{false};
  std::atomic<bool> leave{false};
  std::atomic<int> seenDestroyed{-1};
  std::thread user([&] {
    holder.WithClient([&](Client* client) {
      inside = true;
      while (!leave.load()) std::this_thread::yield();
      client->RequestStop();  // still alive
      seenDestroyed = destroyed.load();
    });
  });
  while (!inside.load()) std::this_thread::yield();
  std::atomic<bool> resetReturned{false};
  std::thread owner([&] {
    holder.Reset();
    resetReturned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(resetReturned.load());
  EXPECT_EQ(destroyed.load(), 0);
  leave = true;
  user.join();
  owner.join();
  EXPECT_EQ(seenDestroyed.load(), 0);
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(holder.Get(), nullptr);
  EXPECT_EQ(holder.WithClient([](Client* client) { return client; }), nullptr);
}
