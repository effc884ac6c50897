#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch_directory.h"
#include "tests/support/whole_file.h"

struct ProgramResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs an executable with the arguments and `input` on its standard input, and returns its exit
// code and what it printed. Environment entries given a value replace the inherited ones, those
// given none are removed. With interruptAfterMs, a program still running then gets Ctrl+C. A
// program still running after 120 s (a hang, however slow the machine) is killed and fails the
// test.
inline ProgramResult RunProgram(
    const std::string& program, const std::vector<std::string>& args,
    const std::map<std::string, std::optional<std::string>>& environment = {},
    const std::string& input = "", int interruptAfterMs = -1) {
  TestDirectory io;
  WriteWholeFile(io / "in", input);
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (environment.count(text.substr(0, text.find('='))) == 0) envStrings.push_back(text);
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
    dup2(open(inPath.c_str(), O_RDONLY), STDIN_FILENO);
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto giveUp = start + std::chrono::seconds(120);
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
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadTextFile(outPath),
          ReadTextFile(errPath)};
}
