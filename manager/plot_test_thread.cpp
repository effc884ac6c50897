#include <stdexcept>

#include "manager/client.h"
#include "manager/key_embedding.h"
#include "manager/plot_test_threshold.h"
#include "manager/text_helpers.h"
#include "prover/challenge_scan_job.h"
#include "prover/full_proof_job.h"

namespace {

constexpr uint64_t kFullProofEvery = 25;
constexpr uint64_t kExtraChallenges = 100;
constexpr auto kProgressStep = std::chrono::seconds(10);
// After every signage-point job.
constexpr int64_t kTestPriority = INT64_MAX;

}  // namespace

void Client::PlotTestThread() {
  try {
    for (;;) {
      TestQueueEntry entry;
      {
        std::unique_lock lock(Mutex);
        if (ThreadStop) return;
        if (TestQueue.empty() || ScanPending) {
          TestWake.wait(lock);
          continue;
        }
        entry = std::move(TestQueue.back());
        TestQueue.pop_back();
        TestRunning = 1;
      }
      TestPlotEntry(entry);
      std::lock_guard lock(Mutex);
      PlannerIdle = 0;
      TestRunning = 0;
      NextRunTime = std::chrono::steady_clock::now();
    }
  } catch (const std::exception& error) {
    log_(std::string("ERROR: ") + error.what());
  } catch (...) {
    log_("ERROR: 698DFBC1");
  }
}

void Client::TestPlotEntry(const TestQueueEntry& entry) {
  std::shared_ptr<PlotFile> plot;
  try {
    plot = OpenPlotFile(*Engine, entry.path, entry.DirectoryIndex);
  } catch (...) {
    log_(FailureText("WARNING: Failed to open plot \"" + entry.path.string() + "\""));
    return;
  }
  if (plot == nullptr) return;
  if (config_.skipTest) {
    log_("Test passed");
  } else {
    try {
      if (!TestPlot(*plot)) return;
      log_("Test passed");
    } catch (...) {
      log_(FailureText("ERROR: Test failed"));
      return;
    }
  }
  if (!CheckPlotKeys(*plot)) return;
  // Keys completed here still mine from memory; the file of a read-only directory is not ours
  // to change.
  if (entry.DirectoryIndex < directories_.size() && directories_[entry.DirectoryIndex].readOnly) {
    return;
  }
  try {
    std::lock_guard keyLock(plot->keyMutex);
    if (plot->embedPending == 0) return;
    std::lock_guard streamLock(plot->mutex);
    try {
      if (plot->stream.is_open()) plot->stream.close();
    } catch (...) {
    }
    // The header copy keeps flag 1 throughout: the key mutex keeps its readers out, and a
    // failed embedding restores the file.
    EmbedKeyBlock(plot->path, plot->header.keyBlock, embedFault_);
    plot->embedPending = 0;
  } catch (...) {
    log_(FailureText("ERROR: Failed to embed secret key"));
    return;
  }
  log_("Secret key was embedded into \"" + PathStem(plot->path) + "\"");
}

bool Client::TestPlot(PlotFile& plot) {
  log_("Start testing \"" + PathStem(plot.path) + "\"");
  uint64_t total = 0;
  auto progressDeadline = Now() + kProgressStep;
  auto scan = [&] {
    uint8_t challenge[32];
    for (uint8_t& byte : challenge) byte = static_cast<uint8_t>(TestRng());
    auto job = Engine->QueueChallengeScan(&plot, challenge, kTestPriority, nullptr, nullptr);
    job->Wait();
    return job;
  };
  // A thinned plot answers about one challenge in 2^d: it gets that many more tries per full
  // proof and needs fewer matches.
  const uint64_t extraChallenges = kExtraChallenges << config_.scale.d;
  const uint64_t minMatches = PlotTestMinMatches(config_.scale);
  for (uint64_t i = 0; i < kPlotTestChallenges; ++i) {
    {
      std::lock_guard lock(Mutex);
      if (ThreadStop) {
        log_("Test cancelled");
        return false;
      }
    }
    if (plot.failedProofCount.load() != 0) throw std::runtime_error("Found invalid proof");
    std::shared_ptr<ChallengeScanJob> job = scan();
    total += job->Count();
    if (i % kFullProofEvery != 0) continue;
    const auto now = Now();
    if (now >= progressDeadline) {
      log_("Testing, " + std::to_string(i * 100 / kPlotTestChallenges) + "%");
      while (progressDeadline <= now) progressDeadline += kProgressStep;
    }
    for (uint64_t extra = 0; job->Count() == 0; ++extra) {
      if (extra == extraChallenges) throw std::runtime_error("Too few proofs");
      job = scan();
    }
    const uint64_t k = TestRng() % job->Count();
    // With --low-priority its recomputation gives way to mining's.
    Engine
        ->QueueFullProof(&plot, job->Positions()[k], job->Challenge(), kTestPriority, nullptr,
                         nullptr, nullptr, 1)
        ->Wait();
  }
  if (total < minMatches) throw std::runtime_error("Too few proofs");
  return true;
}
