// The executable started as a user starts it: arguments, environment, standard input, and what
// it prints and returns.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "chia/chia_address.h"
#include "chia/plot_keys.h"
#include "tests/app/app_test_support.h"
#include "tests/runtime/file_test_support.h"
#include "tests/time_prefix.h"

using app_test::AddressOf;
using app_test::ExpectedUsage;
using app_test::SamplePuzzleHash;

extern char** environ;

namespace {

const std::string kProgram = std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool";

struct Result {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the program with the arguments; environment entries set to nothing are removed. A run
// that does not end by itself is given Ctrl+C after interruptAfterMs.
Result RunProgram(const std::vector<std::string>& args,
                  const std::map<std::string, std::optional<std::string>>& environment = {},
                  const std::string& input = "", int interruptAfterMs = -1) {
  TestDirectory io;
  { std::ofstream(io / "in") << input; }
  std::vector<std::string> argStrings = {kProgram};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (environment.count(name) == 0) envStrings.push_back(text);
  }
  for (const auto& [name, value] : environment) {
    if (value) envStrings.push_back(name + "=" + *value);
  }
  std::vector<char*> argv, envp;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const std::string inPath = io / "in", outPath = io / "out", errPath = io / "err";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(inPath.c_str(), O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execve(kProgram.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  Result result;
  int status = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto giveUp = start + std::chrono::seconds(30);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (interruptAfterMs >= 0 &&
        std::chrono::steady_clock::now() > start + std::chrono::milliseconds(interruptAfterMs)) {
      kill(pid, SIGINT);
      interruptAfterMs = -1;
    }
    if (std::chrono::steady_clock::now() > giveUp) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the program did not end";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadFile(outPath);
  result.err = ReadFile(errPath);
  return result;
}

// Output lines with the log time prefix replaced by "<time> ".
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(HasTimePrefix(line) ? "<time> " + line.substr(9) : line);
  }
  return lines;
}

const std::string kAddress = AddressOf(SamplePuzzleHash());

std::string KeyTextOfPassword(const char* password) {
  uint8_t secret[32], publicKey[48];
  DeriveKeyFromPassword(password, secret, publicKey);
  return EncodeKeyBech32m(publicKey);
}

}  // namespace

TEST(Executable, HelpAndBadOptionsPrintTheUsageText) {
  TestDirectory temp;
  const std::string settings = temp / "cfg";
  for (const char* help : {"--help", "-h"}) {
    const Result result = RunProgram({"-s", settings, help, "--bogus"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, ExpectedUsage(kProgram));
  }
  Result result = RunProgram({"-s", settings, "--bogus"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, kProgram + ": unrecognized option '--bogus'\n" + ExpectedUsage(kProgram));

  result = RunProgram({"-s", settings, "-c"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err,
            kProgram + ": option requires an argument -- 'c'\n" + ExpectedUsage(kProgram));

  result = RunProgram({"-s", settings, "-c", "7"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err,
            kProgram + ": Compression level is out of range\n" + ExpectedUsage(kProgram));
  // A run that ends in its command line never reaches its settings folder.
  EXPECT_FALSE(std::filesystem::exists(settings));
}

TEST(Executable, SelfTestAndAddressChecks) {
  TestDirectory temp;
  Result result = RunProgram({"-s", temp / "cfg", "--internal-tests"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(std::filesystem::exists(temp / "cfg"));

  result = RunProgram({"-s", temp / "cfg", "-d", temp.Path().string(), "-a", "xch1invalid"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, kProgram + ": Invalid Chia address\n" + ExpectedUsage(kProgram));
  EXPECT_FALSE(std::filesystem::exists(temp / "cfg"));

  result = RunProgram({"-s", temp / "cfg", "-a", kAddress});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(Lines(result.out),
            (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                      "<time> ERROR: At least one directory should be specified"}));
  EXPECT_EQ(result.err, "");
}

TEST(Executable, MiningRunNamesAddressAndWorker) {
  TestDirectory temp;
  std::filesystem::create_directories(temp / "plots");
  const Result result =
      RunProgram({"-s", temp / "cfg", "-d,1TB", temp / "plots", "-a", kAddress}, {}, "", 2000);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_GE(lines.size(), 3u) << result.out;
  EXPECT_EQ(lines[0], "VarnokChiaPool version 1.3");
  EXPECT_EQ(lines[1], "Mining on address: " + kAddress);
  EXPECT_EQ(lines[2].substr(0, 8), "Worker: ");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 17), " (auto generated)");
  // The settings files are in the folder given with -s.
  EXPECT_EQ(ReadFile(temp / "cfg/workerid").size(), 16u);
  EXPECT_TRUE(std::filesystem::exists(temp / "cfg/cache"));
}

TEST(Executable, DelegatedPasswords) {
  TestDirectory temp;
  Result result = RunProgram({"-s", temp / "cfg", "-p", "correct horse"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // Without directories or mining the Client has nothing to do and ends the run.
  std::vector<std::string> lines = Lines(result.out);
  EXPECT_EQ(lines.back(), "<time> No more plotting, finalization or testing required");
  lines.resize(3);
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "VarnokChiaPool version 1.3",
                "Public key for delegated plotting: " + KeyTextOfPassword("correct horse"),
                "Give this key to the person who will make plots"}));

  // Asked on standard input (a file, not a terminal): the answers differ.
  result = RunProgram({"-s", temp / "cfg", "-p"}, {}, "first\nsecond\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "VarnokChiaPool version 1.3\nEnter password: \nRetype password: \n");
  EXPECT_EQ(result.err, "ERROR: Password mismatch\n");
}

TEST(Executable, SettingsFolderFromTheEnvironment) {
  TestDirectory temp;
  std::filesystem::create_directories(temp / "xdg");
  std::filesystem::create_directories(temp / "home");
  // Any argument, so that the usage text is not printed.
  Result result =
      RunProgram({"--no-benchmark"}, {{"XDG_CONFIG_HOME", temp / "xdg"}, {"HOME", temp / "home"}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFile(temp / "xdg/VarnokChiaPool/workerid").size(), 16u);
  EXPECT_FALSE(std::filesystem::exists(temp / "home/.config"));

  result = RunProgram({"--no-benchmark"},
                      {{"XDG_CONFIG_HOME", temp / "missing"}, {"HOME", temp / "home"}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFile(temp / "home/.config/VarnokChiaPool/workerid").size(), 16u);
  EXPECT_FALSE(std::filesystem::exists(temp / "missing"));

  std::filesystem::remove_all(temp / "home/.config");
  result =
      RunProgram({"--no-benchmark"}, {{"XDG_CONFIG_HOME", std::nullopt}, {"HOME", temp / "home"}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadFile(temp / "home/.config/VarnokChiaPool/workerid").size(), 16u);

  // A settings folder that cannot be created ends the run after the version line.
  { std::ofstream(temp / "file") << "x"; }
  result = RunProgram({"-s", temp / "file/cfg"});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_EQ(lines[1].substr(0, 14), "<time> ERROR: ");
}

TEST(Executable, QueryModeEndsWithOne) {
  TestDirectory temp;
  const Result result =
      RunProgram({"-s", temp / "cfg", "--query",
                  "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = Lines(result.out);
  EXPECT_EQ(lines.front(), "VarnokChiaPool version 1.3");
  EXPECT_EQ(lines.back(), "<time> No PoS for query");

  const Result notHex =
      RunProgram({"-s", temp / "cfg", "--query",
                  "0011223344556677889zaabbccddeeff00112233445566778899aabbccddeeff"});
  EXPECT_EQ(notHex.exitCode, 1);
  EXPECT_EQ(notHex.err, ExpectedUsage(kProgram));
}

TEST(Executable, PasswordTypedOnATerminalIsNotEchoed) {
  TestDirectory temp;
  int terminal = -1, side = -1;
  ASSERT_EQ(openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
  std::string settings = temp / "cfg";
  std::vector<std::string> args = {kProgram, "-s", settings, "-p"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    dup2(side, STDIN_FILENO);
    dup2(side, STDOUT_FILENO);
    dup2(side, STDERR_FILENO);
    close(terminal);
    close(side);
    execve(kProgram.c_str(), argv.data(), environ);
    _exit(127);
  }
  close(side);

  std::string screen;
  // Reads what the program shows until the text appears (or 10 s pass).
  const auto waitFor = [&](const std::string& text) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (screen.find(text) == std::string::npos && std::chrono::steady_clock::now() < giveUp) {
      pollfd p{terminal, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[256];
      const ssize_t got = read(terminal, chunk, sizeof chunk);
      if (got <= 0) break;  // the program has ended
      screen.append(chunk, static_cast<size_t>(got));
    }
    return screen.find(text) != std::string::npos;
  };
  const std::string password = "hunter2-secret";
  ASSERT_TRUE(waitFor("Enter password: ")) << screen;
  ASSERT_EQ(write(terminal, (password + "\n").data(), password.size() + 1),
            static_cast<ssize_t>(password.size() + 1));
  ASSERT_TRUE(waitFor("Retype password: ")) << screen;
  ASSERT_EQ(write(terminal, (password + "\n").data(), password.size() + 1),
            static_cast<ssize_t>(password.size() + 1));
  EXPECT_TRUE(waitFor("Give this key to the person who will make plots")) << screen;
  EXPECT_NE(
      screen.find("Public key for delegated plotting: " + KeyTextOfPassword(password.c_str())),
      std::string::npos)
      << screen;
  // The typed passwords never reached the screen.
  EXPECT_EQ(screen.find(password), std::string::npos) << screen;
  // Echo is back on once the prompts are over: looked at after the program has ended, since
  // it switches echo on only after printing the key.
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  termios attributes{};
  ASSERT_EQ(tcgetattr(terminal, &attributes), 0);
  EXPECT_NE(attributes.c_lflag & ECHO, 0u);
  close(terminal);
}
