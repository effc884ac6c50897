#include "app/main_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/settings_folder.h"
#include "app/worker_name.h"
#include "chia/plot_keys.h"
#include "pool/settings.h"
#include "prover/query_request.h"
#include "runtime/console_logger.h"
#include "runtime/option_values.h"
#include "runtime/stop_requested.h"
#include "runtime/text_utils.h"
#include "tests/app/app_test_support.h"
#include "tests/manager/fake_client.h"
#include "tests/support/time_prefix.h"
#include "update/updater.h"

using app_test::AddressOf;
using app_test::GeneratorKey;
using app_test::KeyText;
using app_test::kAddress;
using app_test::SamplePuzzleHash;

namespace {

// What the fake Client saw and how it behaves.
struct ClientScript {
  int startupScanPolls = 0;     // IsFinished/scan checks before the start-up scan ends
  int finishedAfterChecks = 1;  // IsFinished answers false this many times
  bool answerQuery = false;     // a submission sets QueryAnswered
  bool throwOnBuild = false;
  // Seen:
  int built = 0;
  ClientConfig config;
  std::vector<DirectorySpec> directories;
  int submissions = 0;
  uint64_t timeLimitMs = 0;
  std::array<uint8_t, 32> submittedChallenge{};
  bool destroyed = false;
};

std::unique_ptr<FakeClient> ScriptedClient(ClientScript& script) {
  auto client = std::make_unique<FakeClient>();
  FakeClient* self = client.get();
  self->StartupScanPending.store(script.startupScanPolls > 0 ? 1 : 0);
  client->onDestroy = [&script] { script.destroyed = true; };
  client->onIsFinished = [&script, self] {
    if (script.startupScanPolls > 0 && --script.startupScanPolls == 0) {
      self->StartupScanPending.store(0);
    }
    if (script.finishedAfterChecks == 0) return true;
    --script.finishedAfterChecks;
    return false;
  };
  client->onSubmit = [&script](std::shared_ptr<SignagePointRequest> request, uint64_t timeLimitMs) {
    ++script.submissions;
    script.timeLimitMs = timeLimitMs;
    const std::array<uint8_t, 32> anyPlot{};
    request->PlotChallenge(anyPlot.data(), script.submittedChallenge.data());
    if (script.answerQuery) QueryAnswered = true;
  };
  return client;
}

class MainProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    // The process-wide objects these runs touch, built in the program's order so that tests
    // which later fork and exit see the program's exit order. (No interrupt thread: it would
    // not exist in a forked child.)
    UpdaterInstance();
    ConsoleLoggerInstance();
    SettingsFilesInstance();
    ClientInstance();
    ResetProcessValues();
    script_ = ClientScript();
    workerId_ = 0;
    settingsError_ = nullptr;
    handlersInstalled_ = poolClientRuns_ = 0;
    secondInterrupts_.clear();
    derived_.clear();
    settingsFolders_.clear();
    slept_.clear();
    updater_.savedArgs.clear();
    in_ = nullptr;
    errBuffer_ = nullptr;
    errSize_ = 0;
    services_.hardwareThreads = 4;
    services_.installSignalHandlers = [this] { ++handlersInstalled_; };
    services_.secondInterrupt = [this](int signal) {
      // Only a Client that is already stored can be asked to save and stop.
      EXPECT_NE(ClientInstance().Get(), nullptr);
      secondInterrupts_.push_back(signal);
    };
    services_.selfTest = [] {};
    services_.deriveDelegatedKey = [this](const char* password) {
      derived_.emplace_back(password);
    };
    services_.environment = [](const char*) -> const char* { return nullptr; };
    services_.executablePath = [] { return std::filesystem::path("/opt/client/VarnokChiaPool"); };
    services_.loadSettings = [this](const std::filesystem::path& folder) {
      if (settingsError_) std::rethrow_exception(settingsError_);
      settingsFolders_.push_back(folder);
      WorkerId = workerId_;
    };
    services_.makeClient = [this](const ClientConfig& config, const DirectorySpec* directories,
                                  size_t count, ClientLogCallback log) -> std::unique_ptr<Client> {
      if (script_.throwOnBuild) throw std::runtime_error("Not enough memory");
      EXPECT_TRUE(log);
      ++script_.built;
      script_.config = config;
      script_.directories.assign(directories, directories + count);
      return ScriptedClient(script_);
    };
    services_.poolClient = [this] {
      ++poolClientRuns_;
      EXPECT_NE(ClientInstance().Get(), nullptr);
    };
    services_.sleep = [this](std::chrono::milliseconds duration) { slept_.push_back(duration); };
    services_.theUpdater = &updater_;
    services_.out = stdout;
    errStream_ = open_memstream(&errBuffer_, &errSize_);
    services_.err = errStream_;
    SetInput("");
  }

  void TearDown() override {
    updater_.state = UpdaterState::Idle;  // never restart the test program
    ClientInstance().Reset();
    ResetProcessValues();
    if (in_) std::fclose(in_);
    std::fclose(errStream_);
    std::free(errBuffer_);
  }

  static void ResetProcessValues() {
    StopRequested.store(false);
    QueryAnswered = false;
    QueryChallenge = {};
    DelegatedPublicKey = nullptr;
    WorkerName.fill(0);
    RewardPuzzleHash = {};
  }

  void SetInput(const std::string& text) {
    if (in_) std::fclose(in_);
    input_ = text;
    // An empty file stands for empty input: fmemopen refuses an empty buffer.
    in_ = input_.empty() ? std::tmpfile() : fmemopen(input_.data(), input_.size(), "r");
    services_.in = in_;
  }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "VarnokChiaPool");
    args_ = args;
    std::vector<char*> argv;
    for (std::string& arg : args_) argv.push_back(arg.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const int code = RunMain(static_cast<int>(args_.size()), argv.data(), services_);
    out_ = MarkTimes(testing::internal::GetCapturedStdout());
    std::fflush(errStream_);
    err_.assign(errBuffer_, errSize_);
    return code;
  }

  MainServices services_;
  Updater updater_;
  ClientScript script_;
  uint64_t workerId_ = 0;
  std::exception_ptr settingsError_;
  int handlersInstalled_ = 0;
  int poolClientRuns_ = 0;
  std::vector<int> secondInterrupts_;
  std::vector<std::string> derived_;
  std::vector<std::filesystem::path> settingsFolders_;
  std::vector<std::chrono::milliseconds> slept_;
  std::vector<std::string> args_;
  std::vector<std::string> out_;
  std::string err_;
  std::string input_;
  FILE* in_ = nullptr;
  FILE* errStream_ = nullptr;
  char* errBuffer_ = nullptr;
  size_t errSize_ = 0;
};

const std::string kChallengeHex =
    "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";

}  // namespace

TEST_F(MainProgram, MiningRunFillsTheConfigurationAndEndsWithZero) {
  workerId_ = 49;
  script_.finishedAfterChecks = 3;
  std::vector<std::string> args = {"-a", kAddress};
  for (const std::string& word :
       app_test::Words("-d /p1 -d,r /p2 -s /cfg -c 3 -m 2GB --p-threads 6 --m-threads 2 "
                       "--r-threads 1 --no-plotting --skip-test --low-priority --no-rescan "
                       "-p secret")) {
    args.push_back(word);
  }
  const int code = Run(args);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(handlersInstalled_, 1);
  EXPECT_EQ(updater_.savedArgs, args_);
  EXPECT_EQ(derived_, std::vector<std::string>{"secret"});
  EXPECT_EQ(settingsFolders_, std::vector<std::filesystem::path>{"/cfg"});
  EXPECT_EQ(out_, (std::vector<std::string>{
                      "VarnokChiaPool version 1.3", "Mining on address: " + kAddress,
                      "Worker: fat_" + std::string(WorkerNameNouns[1]) + " (auto generated)"}));
  EXPECT_EQ(std::string(WorkerName.data()), "fat_" + std::string(WorkerNameNouns[1]));

  ClientConfig expected;
  expected.compressionLevelMinusOne = 2;
  expected.plottingThreads = 6;
  expected.miningThreads = 2;
  expected.readThreads = 1;
  expected.memoryAmount = uint64_t{2} << 30;
  expected.noPlotting = 1;
  expected.runBenchmark = 1;
  expected.skipTest = 1;
  expected.lowPriority = 1;
  expected.noRescan = 1;
  EXPECT_EQ(script_.config, expected);
  ASSERT_EQ(script_.directories.size(), 2u);
  EXPECT_EQ(script_.directories[0].path, "/p1");
  EXPECT_EQ(script_.directories[1].path, "/p2");
  EXPECT_TRUE(script_.directories[1].readOnly);

  // The pool client ran once; then the finished flag was polled every second.
  EXPECT_EQ(poolClientRuns_, 1);
  EXPECT_EQ(slept_, std::vector<std::chrono::milliseconds>(3, std::chrono::seconds(1)));
  EXPECT_TRUE(script_.destroyed);
  EXPECT_EQ(ClientInstance().Get(), nullptr);
  EXPECT_TRUE(StopRequested.load());
  EXPECT_TRUE(secondInterrupts_.empty());
  EXPECT_EQ(err_, "");
}

TEST_F(MainProgram, ConfigurationFlagsFollowTheMode) {
  // Plotting only: mining and the test thread off, no pool client, no worker lines.
  EXPECT_EQ(Run({"-s", "/cfg", "--no-benchmark", "--no-finalizing"}), 0);
  EXPECT_EQ(script_.config.miningOff, 1);
  EXPECT_EQ(script_.config.testThreadOff, 1);
  EXPECT_EQ(script_.config.runBenchmark, 0);
  EXPECT_EQ(script_.config.noFinalizing, 1);
  EXPECT_EQ(script_.config.plottingThreads, 4u);
  EXPECT_EQ(script_.config.miningThreads, 2u);
  EXPECT_TRUE(script_.directories.empty());
  EXPECT_EQ(poolClientRuns_, 0);
  EXPECT_EQ(out_, std::vector<std::string>{"VarnokChiaPool version 1.3"});

  TearDown();
  SetUp();
  EXPECT_EQ(Run({"-s", "/cfg", "--check-plots"}), 0);
  EXPECT_EQ(script_.config.testThreadOff, 0);
  EXPECT_EQ(script_.config.checkPlots, 1);

  TearDown();
  SetUp();
  EXPECT_EQ(Run({"-s", "/cfg", "--query", kChallengeHex}), 1);
  EXPECT_EQ(script_.config.miningOff, 0);
  EXPECT_EQ(poolClientRuns_, 0);
}

TEST_F(MainProgram, WorkerNameAndDelegatedKeyLines) {
  const std::string sixteen = "sixteen-chars-ok";
  ASSERT_EQ(
      Run({"-s", "/cfg", "-a", kAddress, "-d", "/p", "-w", sixteen, "-k", KeyText(GeneratorKey())}),
      0);
  EXPECT_EQ(out_, (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                            "Mining on address: " + kAddress, "Worker: " + sixteen,
                                            "Using public key: " + KeyText(GeneratorKey())}));
  // All 16 bytes hold the name; there is no room for a terminator.
  EXPECT_EQ(std::string(WorkerName.data(), WorkerName.size()), sixteen);
}

TEST_F(MainProgram, UpdateInstalledGivesItsExitCodeUnlessAStopCame) {
  updater_.state = UpdaterState::Installed;
  EXPECT_EQ(Run({"-s", "/cfg"}), 747);
  EXPECT_EQ(updater_.state, UpdaterState::Restart);
  EXPECT_TRUE(StopRequested.load());

  TearDown();
  SetUp();
  updater_.state = UpdaterState::Installed;
  StopRequested.store(true);  // a signal during start-up
  EXPECT_EQ(Run({"-s", "/cfg"}), 0);
  EXPECT_EQ(updater_.state, UpdaterState::Installed);
  // The new Client is asked at once to save and stop.
  EXPECT_EQ(secondInterrupts_, std::vector<int>{0});
}

TEST_F(MainProgram, QueryWithoutAnswer) {
  script_.startupScanPolls = 3;
  script_.finishedAfterChecks = 1000;
  EXPECT_EQ(Run({"-s", "/cfg", "--query", kChallengeHex}), 1);
  EXPECT_EQ(script_.submissions, 1);
  EXPECT_EQ(script_.timeLimitMs, 30000u);
  EXPECT_EQ(ToHexLower(script_.submittedChallenge.data(), 32), kChallengeHex);
  // Ten one-second waits after the scan polls.
  ASSERT_GE(slept_.size(), 10u);
  EXPECT_EQ(std::vector<std::chrono::milliseconds>(slept_.end() - 10, slept_.end()),
            std::vector<std::chrono::milliseconds>(10, std::chrono::seconds(1)));
  EXPECT_EQ(out_.back(), "<time> No PoS for query");
  // The Client is left to the exit-time handler.
  EXPECT_FALSE(script_.destroyed);
  EXPECT_NE(ClientInstance().Get(), nullptr);
  EXPECT_FALSE(StopRequested.load());
}

TEST_F(MainProgram, QueryAnsweredOrClientFinishedFirst) {
  script_.answerQuery = true;
  script_.finishedAfterChecks = 2;
  EXPECT_EQ(Run({"-s", "/cfg", "--query", kChallengeHex}), 1);
  EXPECT_EQ(script_.submissions, 1);
  EXPECT_EQ(out_, std::vector<std::string>{"VarnokChiaPool version 1.3"});
  EXPECT_EQ(slept_.size(), 2u);  // the wait ends once the Client has finished

  TearDown();
  SetUp();
  script_.startupScanPolls = 100;
  script_.finishedAfterChecks = 2;
  EXPECT_EQ(Run({"-s", "/cfg", "--query", kChallengeHex}), 0);
  EXPECT_EQ(script_.submissions, 0);
}

TEST_F(MainProgram, FailuresAfterTheParseAreLoggedWithExitCodeOne) {
  struct Case {
    std::vector<std::string> args;
    const char* settingsError;  // what loading the settings throws, if anything
    bool throwOnBuild;
    std::string lastLine;
  };
  const Case cases[] = {
      {{"-a", kAddress},
       nullptr,
       false,
       "<time> ERROR: At least one directory should be specified"},
      {{"-d", "/p"}, "Failed to lock file \"x\"", false, "<time> ERROR: Failed to lock file \"x\""},
      {{}, nullptr, true, "<time> ERROR: Not enough memory"},
      // A failure without text is not logged.
      {{}, "", false, "VarnokChiaPool version 1.3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lastLine);
    TearDown();
    SetUp();
    if (c.settingsError)
      settingsError_ = std::make_exception_ptr(std::runtime_error(c.settingsError));
    script_.throwOnBuild = c.throwOnBuild;
    std::vector<std::string> args = {"-s", "/cfg"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(Run(args), 1);
    ASSERT_FALSE(out_.empty());
    EXPECT_EQ(out_.back(), c.lastLine);
    EXPECT_LE(out_.size(), 2u);
    EXPECT_EQ(script_.built, 0);
  }

  // A parse error ends the run before anything else happens.
  TearDown();
  SetUp();
  EXPECT_EQ(Run({"-c", "9"}), 1);
  EXPECT_EQ(handlersInstalled_, 1);  // before the command line is looked at
  EXPECT_TRUE(out_.empty());
  EXPECT_TRUE(updater_.savedArgs.empty());
  EXPECT_EQ(err_.substr(0, 50), "VarnokChiaPool: Compression level is out of range\n");
}

TEST_F(MainProgram, PasswordPrompts) {
  SetInput("two\ntwo\n");
  EXPECT_EQ(Run({"-s", "/cfg", "-p", "one", "-p"}), 0);
  EXPECT_EQ(derived_, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(out_, (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                            "Enter password 2: ", "Retype password 2: "}));

  TearDown();
  SetUp();
  SetInput("alpha\nalphA\n");
  EXPECT_EQ(Run({"-s", "/cfg", "-p"}), 1);
  EXPECT_EQ(out_, (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                            "Enter password: ", "Retype password: "}));
  EXPECT_EQ(err_, "ERROR: Password mismatch\n");
  EXPECT_TRUE(derived_.empty());
  EXPECT_EQ(updater_.savedArgs, args_);  // saved before anything is asked
  EXPECT_TRUE(settingsFolders_.empty());

  TearDown();
  SetUp();
  SetInput("same\nsame");  // the last line without its newline
  EXPECT_EQ(Run({"-s", "/cfg", "-p"}), 0);
  EXPECT_EQ(derived_, std::vector<std::string>{"same"});
}

TEST(SettingsFolder, ChoiceOrder) {
  const std::filesystem::path temp = std::filesystem::temp_directory_path();
  const std::string existing = temp.string();
  std::map<std::string, std::string> environment;
  const EnvironmentLookup lookup = [&](const char* name) -> const char* {
    auto it = environment.find(name);
    return it == environment.end() ? nullptr : it->second.c_str();
  };
  const auto executable = [] { return std::filesystem::path("/usr/bin/../bin/prog"); };

  EXPECT_EQ(ChooseSettingsFolder(std::string("rel/dir"), lookup, executable), "rel/dir");

  environment = {{"XDG_CONFIG_HOME", existing}, {"HOME", "/home/x"}};
  EXPECT_EQ(ChooseSettingsFolder(std::nullopt, lookup, executable), temp / "VarnokChiaPool");

  environment = {{"XDG_CONFIG_HOME", "/no/such/folder"}, {"HOME", existing}};
  EXPECT_EQ(ChooseSettingsFolder(std::nullopt, lookup, executable),
            temp / ".config" / "VarnokChiaPool");

  environment = {{"XDG_CONFIG_HOME", ""}, {"HOME", "/no/such/home"}};
  EXPECT_EQ(ChooseSettingsFolder(std::nullopt, lookup, executable),
            std::filesystem::canonical("/usr/bin"));

  environment.clear();
  EXPECT_EQ(ChooseSettingsFolder(std::nullopt, lookup, [] { return std::filesystem::path(); }),
            std::filesystem::path());
  EXPECT_EQ(
      ChooseSettingsFolder(std::nullopt, lookup, [] { return std::filesystem::path("prog"); }),
      std::filesystem::current_path());
  // Errors on the way give the empty path.
  EXPECT_EQ(ChooseSettingsFolder(std::nullopt, lookup,
                                 []() -> std::filesystem::path {
                                   throw std::filesystem::filesystem_error("read_symlink",
                                                                           std::error_code());
                                 }),
            std::filesystem::path());
  EXPECT_EQ(ChooseSettingsFolder(std::nullopt, lookup,
                                 [] { return std::filesystem::path("/no/such/folder/prog"); }),
            std::filesystem::path());
}

TEST(WorkerNames, GeneratedFromTheWorkerId) {
  EXPECT_EQ(GenerateWorkerName(0), "fat_" + std::string(WorkerNameNouns[0]));
  EXPECT_EQ(GenerateWorkerName(49), "fat_" + std::string(WorkerNameNouns[1]));
  EXPECT_EQ(GenerateWorkerName(48), "disco_" + std::string(WorkerNameNouns[0]));
  EXPECT_EQ(GenerateWorkerName(8), "bored_" + std::string(WorkerNameNouns[0]));
  EXPECT_EQ(GenerateWorkerName(35), "bored_" + std::string(WorkerNameNouns[0]));
  EXPECT_EQ(GenerateWorkerName(49 * 44), GenerateWorkerName(0));
  // 2^64 - 1 = 49 x 376464164769582686 + 1, and that quotient leaves 38 after dividing by 44.
  EXPECT_EQ(GenerateWorkerName(UINT64_MAX), "slim_" + std::string(WorkerNameNouns[38]));
  EXPECT_EQ(GenerateWorkerName(0x0123456789ABCDEF), "stinky_" + std::string(WorkerNameNouns[37]));
  for (const char* noun : WorkerNameNouns) {
    const std::string word = noun;
    EXPECT_GE(word.size(), 3u) << word;
    EXPECT_LE(word.size(), 8u) << word;
    EXPECT_EQ(word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << word;
  }
  size_t longest = 0;
  for (uint64_t id = 0; id < 49 * 44; ++id)
    longest = std::max(longest, GenerateWorkerName(id).size());
  EXPECT_EQ(longest, 16u);
}
