#include "manager/client.h"

#include <algorithm>
#include <stdexcept>

#include "manager/distinct_directories.h"

Client::Client(const ClientConfig& config, const DirectorySpec* directories, size_t count,
               ClientLogCallback log)
    : Config(config), Directories(directories, directories + count), Log(std::move(log)) {
  CheckDistinctDirectories(Directories);
  if (!Config.MiningOff || !Config.TestThreadOff) {
    Engine = std::make_unique<PlotFileOwner>();
    Engine->messageCallback = Log;
  }
  StartupScanPending.store(0);
  Finished = 1;
}

void Client::SubmitSignagePoint(std::shared_ptr<SignagePointRequest> request,
                                uint64_t timeLimitMs) {
  if (Config.MiningOff) throw std::runtime_error("6ED5B81C");
  PendingSignagePoint pending{std::move(request), std::chrono::steady_clock::now() +
                                                      std::chrono::milliseconds(timeLimitMs)};
  std::lock_guard lock(MinedPlotsMutex);
  PendingSignagePoints.push_back(std::move(pending));
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

// This Client has no proof search yet, so it has no proof to offer.
int Client::ProveHelloPlot(const PlotIdBytes&, const uint8_t[32], uint64_t, uint32_t[64]) {
  return 0;
}

uint32_t Client::RequestStop() {
  std::lock_guard lock(Mutex);
  StopRequest = 1;
  NextRunTime = std::chrono::steady_clock::now();
  return ManagerState;
}

uint32_t Client::RequestShutdown(bool stopAfterCurrentPlot) {
  std::lock_guard lock(Mutex);
  if (stopAfterCurrentPlot) {
    StopRequest = 1;
  } else {
    CancelRequest = 1;
  }
  NextRunTime = std::chrono::steady_clock::now();
  return ManagerState;
}

bool Client::IsFinished() {
  std::lock_guard lock(Mutex);
  return Finished != 0;
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
