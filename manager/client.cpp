#include "manager/client.h"

#include <algorithm>
#include <stdexcept>

#include "manager/distinct_directories.h"
#include "plotter/finalize_job.h"
#include "runtime/random.h"
#include "runtime/text_utils.h"

namespace {

constexpr uint64_t kBaseMiningMemory = uint64_t{64} << 20;
constexpr uint64_t kAutomaticFinalizeMemory = uint64_t{4} << 30;
constexpr uint64_t kAutomaticPlotExtra = 128345702400;
constexpr uint64_t kMaxTempFiles = 16;
constexpr auto kSaveWaitStep = std::chrono::milliseconds(10);

}  // namespace

Client::Client(const ClientConfig& config, const DirectorySpec* directories, size_t count,
               ClientLogCallback log)
    : Client(config, directories, count, std::move(log), ClientHost{}) {}

Client::Client(const ClientConfig& config, const DirectorySpec* directories, size_t count,
               ClientLogCallback log, ClientHost host)
    : TestRng(Random64()),
      HelloRng(Random64()),
      config_(config),
      directories_(directories, directories + count),
      log_(std::move(log)),
      workFactory_(host.workFactory ? std::move(host.workFactory) : MakeEnginePlotWorkFactory()) {
  SystemMemory& memory = host.memory != nullptr ? *host.memory : HostSystemMemory();
  MiningArena = std::make_unique<MemoryArena>(log_, memory);
  PlottingArena = std::make_unique<MemoryArena>(log_, memory);

  const int32_t readThreads = static_cast<int32_t>(config_.readThreads);
  const int32_t plottingThreads = static_cast<int32_t>(config_.plottingThreads);
  const int32_t miningThreads = static_cast<int32_t>(config_.miningThreads);
  if (readThreads < 0) throw std::runtime_error("EC4C6B02");
  if (plottingThreads <= 0) throw std::runtime_error("9B39D1E2");
  if (miningThreads <= 0) throw std::runtime_error("E7AEDBDD");
  const uint64_t p = std::min(plottingThreads, 256);
  const uint64_t m = std::min(miningThreads, 128);

  const bool engineNeeded = !config_.miningOff || !config_.testThreadOff || config_.runBenchmark;
  uint64_t engineBytes = 0;
  if (engineNeeded) {
    const uint64_t r = readThreads != 0 ? static_cast<uint64_t>(readThreads) : directories_.size();
    engineBytes = 263296 * m + 308480 * (m + 128) + 177184 + 37778 * (m + 1) + 2621440 * r +
                  128 * (r + 4 * (m + 128));
  }
  MiningMemory = kBaseMiningMemory + engineBytes;
  const uint64_t amount = config_.memoryAmount;
  if (amount != 0 && amount < MiningMemory) {
    throw std::runtime_error("Not enough memory, at least " + FormatGiB(MiningMemory) +
                             "GiB needed even when plotting and finalizing are disabled");
  }
  const int32_t level = static_cast<int32_t>(config_.compressionLevelMinusOne);
  if (level < 0) {
    throw std::runtime_error("Invalid compression level, negative values are not allowed");
  }
  if (level > 4) throw std::runtime_error("Invalid compression level, maximum allowed value is 5");
  CheckDistinctDirectories(directories_);

  if (!directories_.empty()) {
    const uint64_t temps = std::ranges::count_if(
        directories_, [](const DirectorySpec& d) { return d.tempFilesAllowed && !d.readOnly; });
    if (!config_.noFinalizing) {
      finalizeThreads_ = p;
      MinPlottingMemory = ::FinalizeJob::RequiredMemory(p, config_.scale);
      // The job's bitmaps and buffers keep their size at every plot scale; only what it takes
      // beyond them follows the plot.
      PlottingMemoryRequest =
          amount != 0 ? amount - MiningMemory
                      : MinPlottingMemory +
                            config_.scale.Shrink(kAutomaticFinalizeMemory - MinPlottingMemory);
    }
    if (!config_.noPlotting && temps > 0) {
      PlotJobSettings.threadCount = p;
      PlotJobSettings.tempFileLimit = static_cast<uint8_t>(std::min(temps, kMaxTempFiles));
      PlotJobSettings.scale = config_.scale;
      const uint64_t estimate = EstimateJobMemory(PlotJobSettings);
      PlottingMemoryRequest = std::max(
          PlottingMemoryRequest, amount != 0 ? amount - MiningMemory
                                             : estimate + config_.scale.Shrink(kAutomaticPlotExtra));
      // The engine's own minimum, so that no budget passes here that the engine refuses.
      MinPlottingMemory = std::max(MinPlottingMemory, RequiredJobMemory(PlotJobSettings));
    }
    if (PlottingMemoryRequest < MinPlottingMemory) {
      throw std::runtime_error("Too few memory specified, at least " +
                               FormatGiB(MiningMemory + MinPlottingMemory) + "GiB needed");
    }
  }

  if (!directories_.empty() && (workFactory_->CanPlot() || workFactory_->CanFinalize())) {
    workStarter_ = MakeClientWorkStarter(*this);
  }

  if (engineNeeded) {
    MiningArena->Reserve(engineBytes, nullptr, true, false);
    PlotAccessEngineOptions options;
    options.miningThreads = m;
    options.directoryCount = directories_.size();
    options.readThreads = static_cast<uint64_t>(readThreads);
    options.maxLevel = 4;
    options.lowPriority = config_.lowPriority;
    options.scale = config_.scale;
    Engine = NewInArena<PlotAccessEngine>(
        *MiningArena, options, *MiningArena, log_,
        [this](uint64_t directory, bool started) { OnMiningActivity(directory, started); });
  }

  if (host.startThreads) StartThreads();
}

void Client::StartThreads() {
  if (!config_.miningOff) miningThreadHandle_ = std::thread(&Client::MiningThread, this);
  if (!config_.testThreadOff) testThreadHandle_ = std::thread(&Client::PlotTestThread, this);
  managerThreadHandle_ = std::thread(&Client::ManagerThread, this);
}

Client::~Client() {
  {
    std::lock_guard lock(Mutex);
    ThreadStop = true;
    CancelRequest = true;  // a memory reservation in progress gives up instead of finishing
  }
  ManagerWake.notify_all();
  TestWake.notify_all();
  if (testThreadHandle_.joinable()) testThreadHandle_.join();
  if (miningThreadHandle_.joinable()) miningThreadHandle_.join();
  if (managerThreadHandle_.joinable()) managerThreadHandle_.join();
  {
    std::lock_guard lock(MinedPlotsMutex);
    PendingSignagePoints.clear();
    MinedPlots.clear();
  }
  // A plot may have hours left: it stops at its resume point instead, for a later run.
  SaveAndRelease(std::move(plotEngineJob_));
  SaveAndRelease(std::move(FinalizeJob));
  Engine.reset();
  if (MiningArena != nullptr) MiningArena->Release();
  if (PlottingArena != nullptr) FreePlottingMemory();
}

void Client::SaveAndRelease(std::unique_ptr<PlotWork> work) {
  if (work == nullptr) return;
  try {
    work->RequestSave();
    while (work->Status().state != 0) std::this_thread::sleep_for(kSaveWaitStep);
  } catch (...) {
    // A failed work has ended; its destructor only joins what is left.
  }
}

std::vector<Client::HelloCandidate> Client::HelloCandidates() {
  std::vector<HelloCandidate> candidates;
  std::lock_guard lock(MinedPlotsMutex);
  for (const std::shared_ptr<PlotFile>& plot : MinedPlots) {
    HelloCandidate candidate{{}, static_cast<int64_t>(plot->header.creationTime), plot->path};
    std::copy(std::begin(plot->header.plotId), std::end(plot->header.plotId), candidate.id.begin());
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

uint32_t Client::RequestStop() {
  std::lock_guard lock(Mutex);
  StopRequest = true;
  NextRunTime = std::chrono::steady_clock::now();
  return ManagerState.load();
}

uint32_t Client::RequestShutdown(bool stopAfterCurrentPlot) {
  std::lock_guard lock(Mutex);
  if (stopAfterCurrentPlot) {
    StopRequest = true;
  } else {
    CancelRequest = true;
  }
  NextRunTime = std::chrono::steady_clock::now();
  return ManagerState.load();
}

bool Client::IsFinished() {
  std::lock_guard lock(Mutex);
  return Finished;
}

void Client::OnMiningActivity(uint64_t, bool started) {
  if (started) {
    ActiveMiningJobs.fetch_add(1);
  } else {
    ActiveMiningJobs.fetch_sub(1);
  }
  PublishActivity();
}

void Client::PublishActivity() {
  std::lock_guard lock(ActivityMutex);
  const bool active = ActiveMiningJobs.load() != 0;
  IoPauseMask.store(active ? 65535 : 0);
  IoPause[0].store(active);
  IoPause[1].store(active);
}

void Client::RunSoon() {
  std::lock_guard lock(Mutex);
  NextRunTime = std::chrono::steady_clock::now();
}

ClientHolder::~ClientHolder() { Reset(); }

void ClientHolder::Reset(std::unique_ptr<Client> client) {
  std::unique_ptr<Client> previous;
  {
    std::lock_guard<std::mutex> lock(useMutex_);
    previous.reset(client_.exchange(client.release(), std::memory_order_acq_rel));
  }
  // Destroyed without the lock: a Client's shutdown may take a while and log.
}

std::unique_ptr<Client> ClientHolder::Release() {
  std::lock_guard<std::mutex> lock(useMutex_);
  return std::unique_ptr<Client>(client_.exchange(nullptr, std::memory_order_acq_rel));
}

ClientHolder& ClientInstance() {
  static ClientHolder holder;
  return holder;
}

bool ClientLogsWithTimePrefix() {
  const Client* client = ClientInstance().Get();
  return client != nullptr && client->StartupScanPending.load(std::memory_order_acquire) == 0;
}
