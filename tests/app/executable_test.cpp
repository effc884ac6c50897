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
#include "tests/support/run_program.h"
#include "tests/support/time_prefix.h"

using app_test::AddressOf;
using app_test::ExpectedUsage;
using app_test::SamplePuzzleHash;

extern char** environ;

namespace {

const std::string kProgram = std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool";

const std::string kAddress = AddressOf(SamplePuzzleHash());

std::string KeyTextOfPassword(const char* password) {
  uint8_t secret[32], publicKey[48];
  DeriveKeyFromPassword(password, secret, publicKey);
  return EncodeKeyBech32m(publicKey);
}

}  // namespace

// Smoke runs of the whole program; the in-process tests cover the cases.
TEST(Executable, UsageSelfTestAndStartUpErrors) {
  TestDirectory temp;
  const std::string settings = temp / "cfg";
  ProgramResult result = RunProgram(kProgram, {"-s", settings, "-h", "--bogus"});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, ExpectedUsage(kProgram));

  result = RunProgram(kProgram, {"-s", settings, "--bogus"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, kProgram + ": unrecognized option '--bogus'\n" + ExpectedUsage(kProgram));

  result = RunProgram(kProgram, {"-s", settings, "--internal-tests"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "");
  // A run that ends before it starts working never reaches its settings folder.
  EXPECT_FALSE(std::filesystem::exists(settings));

  result = RunProgram(kProgram, {"-s", settings, "-a", kAddress});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(MarkTimes(result.out),
            (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                      "<time> ERROR: At least one directory should be specified"}));
  EXPECT_EQ(result.err, "");
}

TEST(Executable, MiningRunNamesAddressAndWorker) {
  TestDirectory temp;
  std::filesystem::create_directories(temp / "plots");
  // A mining run goes on until Ctrl+C.
  const ProgramResult result = RunProgram(
      kProgram, {"-s", temp / "cfg", "-d,1TB", temp / "plots", "-a", kAddress}, {}, "", 2000);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const std::vector<std::string> lines = MarkTimes(result.out);
  ASSERT_GE(lines.size(), 3u) << result.out;
  EXPECT_EQ(lines[0], "VarnokChiaPool version 1.3");
  EXPECT_EQ(lines[1], "Mining on address: " + kAddress);
  EXPECT_EQ(lines[2].substr(0, 8), "Worker: ");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 17), " (auto generated)");
  // The settings files are in the folder given with -s.
  EXPECT_EQ(ReadTextFile(temp / "cfg/workerid").size(), 16u);
  EXPECT_TRUE(std::filesystem::exists(temp / "cfg/cache"));
}

TEST(Executable, SettingsFolderFromTheEnvironment) {
  TestDirectory temp;
  std::filesystem::create_directories(temp / "xdg");
  std::filesystem::create_directories(temp / "home");
  // Any argument, so that the usage text is not printed.
  ProgramResult result = RunProgram(kProgram, {"--no-benchmark"},
                                    {{"XDG_CONFIG_HOME", temp / "xdg"}, {"HOME", temp / "home"}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadTextFile(temp / "xdg/VarnokChiaPool/workerid").size(), 16u);
  EXPECT_FALSE(std::filesystem::exists(temp / "home/.config"));

  result = RunProgram(kProgram, {"--no-benchmark"},
                      {{"XDG_CONFIG_HOME", temp / "missing"}, {"HOME", temp / "home"}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadTextFile(temp / "home/.config/VarnokChiaPool/workerid").size(), 16u);
  EXPECT_FALSE(std::filesystem::exists(temp / "missing"));

  std::filesystem::remove_all(temp / "home/.config");
  result = RunProgram(kProgram, {"--no-benchmark"},
                      {{"XDG_CONFIG_HOME", std::nullopt}, {"HOME", temp / "home"}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(ReadTextFile(temp / "home/.config/VarnokChiaPool/workerid").size(), 16u);

  // A settings folder that cannot be created ends the run after the version line.
  WriteWholeFile(temp / "file", std::string("x"));
  result = RunProgram(kProgram, {"-s", temp / "file/cfg"});
  EXPECT_EQ(result.exitCode, 1);
  const std::vector<std::string> lines = MarkTimes(result.out);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_EQ(lines[1].substr(0, 14), "<time> ERROR: ");
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
