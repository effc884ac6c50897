#include "app/main_program.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "app/command_line.h"
#include "app/delegated_passwords.h"
#include "app/interrupts.h"
#include "app/worker_name.h"
#include "chia/chia_address.h"
#include "chia/deployment.h"
#include "chia/plot_keys.h"
#include "chia/self_test.h"
#include "pool/pool_client.h"
#include "pool/settings.h"
#include "prover/query_request.h"
#include "runtime/console_logger.h"
#include "runtime/option_values.h"
#include "runtime/path_utils.h"
#include "runtime/stop_requested.h"
#include "runtime/version.h"
#include "update/updater.h"

namespace {

constexpr int kExitUpdateInstalled = 747;
constexpr uint64_t kQueryTimeLimitMs = 30000;
constexpr int kQueryWaitSeconds = 10;
constexpr auto kStartupScanPoll = std::chrono::milliseconds(10);
constexpr auto kFinishedPoll = std::chrono::seconds(1);

ClientConfig MakeClientConfig(const CommandLineOptions& options, const PlotScale& scale) {
  ClientConfig config;
  config.scale = scale;
  config.compressionLevelMinusOne = options.compressionLevelMinusOne;
  config.plottingThreads = options.plottingThreads;
  config.miningThreads = options.miningThreads;
  config.readThreads = options.readThreads;
  config.memoryAmount = static_cast<uint64_t>(options.memoryAmount);
  config.noPlotting = options.noPlotting != 0;
  config.noFinalizing = options.noFinalizing != 0;
  config.runBenchmark = options.noBenchmark == 0;
  config.miningOff = !options.rewardAddress && !options.QueryChallenge;
  config.testThreadOff = options.passwordCount == 0 && options.checkPlots == 0;
  config.skipTest = options.skipTest != 0;
  config.lowPriority = options.lowPriority != 0;
  config.checkPlots = options.checkPlots != 0;
  config.noRescan = options.noRescan != 0;
  return config;
}

// The first 16 bytes of the name, zero-padded; no terminator when all 16 are used.
void StoreWorkerName(const std::string& name) {
  WorkerName.fill(0);
  std::memcpy(WorkerName.data(), name.data(), std::min(name.size(), WorkerName.size()));
}

// The worker name lines, and WorkerName for the shares.
void NameWorker(const CommandLineOptions& options, FILE* out) {
  if (options.WorkerName) {
    StoreWorkerName(*options.WorkerName);
    std::fprintf(out, "Worker: %s\n", options.WorkerName->c_str());
    return;
  }
  const std::string generated = GenerateWorkerName(WorkerId);
  StoreWorkerName(generated);
  std::fprintf(out, "Worker: %s (auto generated)\n", generated.c_str());
}

int RunQuery(Client& client, const MainServices& services) {
  while (client.StartupScanPending.load() != 0) {
    if (client.IsFinished()) return 0;
    services.sleep(kStartupScanPoll);
  }
  auto request = std::make_shared<QueryRequest>(QueryChallenge.challenge);
  client.SubmitSignagePoint(request, kQueryTimeLimitMs);
  for (int second = 0; second < kQueryWaitSeconds; ++second) {
    Client* current = ClientInstance().Get();
    if (current != nullptr && current->IsFinished()) break;
    services.sleep(kFinishedPoll);
  }
  if (!QueryAnswered.load()) LogF("No PoS for query");
  // The Client stays: the exit-time handler of ClientInstance destroys it.
  return 1;
}

int RunUntilFinished(Client& client, bool withPoolClient, const MainServices& services) {
  if (withPoolClient) std::thread(services.poolClient).join();
  while (!client.IsFinished()) services.sleep(kFinishedPoll);
  ClientInstance().Reset();

  Updater& updater = *services.theUpdater;
  updater.Step();
  int exitCode = 0;
  if (updater.state == UpdaterState::Installed && !StopRequested.load()) {
    updater.StopSession();
    updater.state = UpdaterState::Restart;
    exitCode = kExitUpdateInstalled;
  }
  StopRequested.store(true);
  return exitCode;
}

// Everything after a successful parse; failures are thrown to RunMain.
int Run(int argc, char** argv, const CommandLineOptions& options, const MainServices& services) {
  services.theUpdater->savedArgs.assign(argv, argv + argc);
  std::fprintf(services.out, "%s\n", VersionLine().c_str());
  std::fflush(services.out);
  CheckDeployment(ActiveDeployment());

  if (!PromptDelegatedPasswords(options.passwords, options.passwordCount, services.in, services.out,
                                services.err, services.deriveDelegatedKey)) {
    return 1;
  }
  services.loadSettings(
      ChooseSettingsFolder(options.SettingsFolder, services.environment, services.executablePath));

  if (options.rewardAddress) {
    if (options.directories.empty()) {
      throw std::runtime_error("At least one directory should be specified");
    }
    std::fprintf(services.out, "Mining on address: %s\n", options.rewardAddress->c_str());
    NameWorker(options, services.out);
    if (DelegatedPublicKey != nullptr) {
      std::fprintf(services.out, "Using public key: %s\n",
                   EncodeKeyBech32m(DelegatedPublicKey).c_str());
    }
    std::fflush(services.out);
  }

  const ClientConfig config = MakeClientConfig(options, services.scale);
  ClientInstance().Reset(services.makeClient(config, options.directories.data(),
                                             options.directories.size(),
                                             [](const std::string& text) { PrintLine(text); }));
  Client& client = *ClientInstance().Get();
  if (StopRequested.load()) services.secondInterrupt(0);

  if (QueryChallenge.queryMode) return RunQuery(client, services);
  return RunUntilFinished(client, options.rewardAddress.has_value(), services);
}

}  // namespace

MainServices RealMainServices(const PlotScale& scale) {
  MainServices services;
  services.scale = scale;
  services.hardwareThreads = std::thread::hardware_concurrency();
  services.installSignalHandlers = InstallInterruptHandlers;
  services.secondInterrupt = OnSecondInterrupt;
  services.selfTest = RunSelfTest;
  services.deriveDelegatedKey = PrintDelegatedPlottingKey;
  services.environment = [](const char* name) -> const char* { return std::getenv(name); };
  services.executablePath = GetExecutablePath;
  services.loadSettings = LoadSettings;
  services.makeClient = [](const ClientConfig& config, const DirectorySpec* directories,
                           size_t count, ClientLogCallback log) {
    return std::make_unique<Client>(config, directories, count, std::move(log));
  };
  services.poolClient = PoolClientMain;
  services.sleep = [](std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
  };
  services.theUpdater = &UpdaterInstance();
  return services;
}

int RunMain(int argc, char** argv, const MainServices& services) {
  services.installSignalHandlers();
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  CommandLineOptions options = DefaultCommandLineOptions(services.hardwareThreads);
  if (std::optional<int> exitCode =
          ParseCommandLine(argc, argv, options, services.selfTest, services.err)) {
    return *exitCode;
  }
  PublishOptionValues(options);

  try {
    return Run(argc, argv, options, services);
  } catch (const std::exception& error) {
    if (error.what()[0] != '\0') LogF("ERROR: %s", error.what());
    return 1;
  } catch (...) {
    return 1;
  }
}
