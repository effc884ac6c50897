#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

// A forked child running a test body with its standard output (and, when asked, its standard
// error) on a pipe that the parent reads line by line. The child ends with _exit(0) after the
// body, or _exit(101) when the body throws, so that no state of the parent is torn down twice.
// Reads give up after a timeout so a broken child fails the test instead of hanging it; the
// destructor kills a child that is still running.
class ChildProcess {
 public:
  enum Capture { kStdout, kStdoutAndStderr };

  explicit ChildProcess(const std::function<void()>& body, Capture capture = kStdout) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      if (capture == kStdoutAndStderr) dup2(fds[1], STDERR_FILENO);
      close(fds[0]);
      close(fds[1]);
      int status = 0;
      try {
        body();
      } catch (...) {
        status = 101;
      }
      std::fflush(nullptr);
      _exit(status);
    }
    close(fds[1]);
    fd_ = fds[0];
  }

  ~ChildProcess() {
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal) const { kill(pid_, signal); }
  pid_t Pid() const { return pid_; }

  // The next line without its newline; nothing on end of output or timeout.
  std::optional<std::string> ReadLine(int timeoutMs = 10000) {
    for (;;) {
      const size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      if (!Fill(timeoutMs)) return std::nullopt;
    }
  }

  // Everything still to come until the child closes its output.
  std::string ReadRest(int timeoutMs = 10000) {
    while (Fill(timeoutMs)) {
    }
    std::string rest;
    rest.swap(buffer_);
    return rest;
  }

  int Wait() {
    int status = -1;
    waitpid(pid_, &status, 0);
    waited_ = true;
    return status;
  }

 private:
  bool Fill(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char chunk[512];
    const ssize_t got = read(fd_, chunk, sizeof chunk);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool waited_ = false;
  std::string buffer_;
};

// Runs `body` in a child and returns the status it returns (101 when it throws, -1 when the
// child did not exit normally).
inline int RunInChild(const std::function<int()>& body) {
  ChildProcess child([&body] {
    const int status = body();
    std::fflush(nullptr);
    _exit(status);
  });
  child.ReadRest();
  const int status = child.Wait();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes a line to standard output at once (the parent reads it as a handshake).
inline void Say(const char* text) {
  std::puts(text);
  std::fflush(stdout);
}

// Runs a shell command and returns its standard output; a non-zero exit fails the test.
inline std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run: " << command;
    return output;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << "command failed: " << command;
  return output;
}
