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
  config.compressionLevelMinusOne = options.CompressionLevelMinusOne;
  config.plottingThreads = options.PlottingThreads;
  config.miningThreads = options.MiningThreads;
  config.readThreads = options.ReadThreads;
  config.memoryAmount = static_cast<uint64_t>(options.MemoryAmount);
  config.noPlotting = options.NoPlotting != 0;
  config.noFinalizing = options.NoFinalizing != 0;
  config.runBenchmark = options.NoBenchmark == 0;
  config.miningOff = !options.RewardAddress && !options.QueryChallenge;
  config.testThreadOff = options.PasswordCount == 0 && options.CheckPlots == 0;
  config.skipTest = options.SkipTest != 0;
  config.lowPriority = options.LowPriority != 0;
  config.checkPlots = options.CheckPlots != 0;
  config.noRescan = options.NoRescan != 0;
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
    services.Sleep(kStartupScanPoll);
  }
  auto request = std::make_shared<QueryRequest>(QueryChallenge.challenge);
  client.SubmitSignagePoint(request, kQueryTimeLimitMs);
  for (int second = 0; second < kQueryWaitSeconds; ++second) {
    Client* current = ClientInstance().Get();
    if (current != nullptr && current->IsFinished()) break;
    services.Sleep(kFinishedPoll);
  }
  if (!QueryAnswered.load()) LogF("No PoS for query");
  // The Client stays: the exit-time handler of ClientInstance destroys it.
  return 1;
}

int RunUntilFinished(Client& client, bool withPoolClient, const MainServices& services) {
  if (withPoolClient) std::thread(services.PoolClient).join();
  while (!client.IsFinished()) services.Sleep(kFinishedPoll);
  ClientInstance().Reset();

  Updater& updater = *services.TheUpdater;
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
  services.TheUpdater->savedArgs.assign(argv, argv + argc);
  std::fprintf(services.Out, "%s\n", VersionLine().c_str());
  std::fflush(services.Out);
  CheckDeployment(ActiveDeployment());

  if (!PromptDelegatedPasswords(options.Passwords, options.PasswordCount, services.In, services.Out,
                                services.Err, services.DeriveDelegatedKey)) {
    return 1;
  }
  services.LoadSettings(
      ChooseSettingsFolder(options.SettingsFolder, services.Environment, services.ExecutablePath));

  if (options.RewardAddress) {
    if (options.Directories.empty()) {
      throw std::runtime_error("At least one directory should be specified");
    }
    std::fprintf(services.Out, "Mining on address: %s\n", options.RewardAddress->c_str());
    NameWorker(options, services.Out);
    if (DelegatedPublicKey != nullptr) {
      std::fprintf(services.Out, "Using public key: %s\n",
                   EncodeKeyBech32m(DelegatedPublicKey).c_str());
    }
    std::fflush(services.Out);
  }

  const ClientConfig config = MakeClientConfig(options, services.Scale);
  ClientInstance().Reset(services.MakeClient(config, options.Directories.data(),
                                             options.Directories.size(),
                                             [](const std::string& text) { PrintLine(text); }));
  Client& client = *ClientInstance().Get();
  if (StopRequested.load()) services.SecondInterrupt(0);

  if (QueryChallenge.queryMode) return RunQuery(client, services);
  return RunUntilFinished(client, options.RewardAddress.has_value(), services);
}

}  // namespace

MainServices RealMainServices(const PlotScale& scale) {
  MainServices services;
  services.Scale = scale;
  services.HardwareThreads = std::thread::hardware_concurrency();
  services.InstallSignalHandlers = InstallInterruptHandlers;
  services.SecondInterrupt = OnSecondInterrupt;
  services.SelfTest = RunSelfTest;
  services.DeriveDelegatedKey = PrintDelegatedPlottingKey;
  services.Environment = [](const char* name) -> const char* { return std::getenv(name); };
  services.ExecutablePath = GetExecutablePath;
  services.LoadSettings = LoadSettings;
  services.MakeClient = [](const ClientConfig& config, const DirectorySpec* directories,
                           size_t count, ClientLogCallback log) {
    return std::make_unique<Client>(config, directories, count, std::move(log));
  };
  services.PoolClient = PoolClientMain;
  services.Sleep = [](std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
  };
  services.TheUpdater = &UpdaterInstance();
  return services;
}

int RunMain(int argc, char** argv, const MainServices& services) {
  services.InstallSignalHandlers();
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  CommandLineOptions options = DefaultCommandLineOptions(services.HardwareThreads);
  if (std::optional<int> exitCode =
          ParseCommandLine(argc, argv, options, services.SelfTest, services.Err)) {
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
