// What whole-program runs share: the test build of the executable (test deployment, plots thinned
// by 2^10) run inside a network of its own with only loopback up, against a fake pool server found
// through the settings folder's "addresses" file.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "plotter/plot_header.h"
#include "tests/app/app_test_support.h"
#include "tests/pool/fake_pool_codec.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/time_prefix.h"

namespace whole_program {

namespace fs = std::filesystem;
using Datagram = fake_pool::Bytes;

inline const std::string kRelease = std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool";
inline const std::string kTestBuild = std::string(VARNOK_BINARY_DIR) + "/tests/VarnokChiaPoolTestDeployment";
using app_test::kAddress;
constexpr uint32_t kPoolHost = 0x7f00001d;  // 127.0.0.29

// This process and every program it starts get a network of their own with only loopback up,
// so nothing they send can leave the machine.
inline void EnterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    ASSERT_EQ(unshare(CLONE_NEWUSER | CLONE_NEWNET), 0) << "no private network: " << errno;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0);
  request.ifr_flags |= IFF_UP;
  ASSERT_EQ(ioctl(fd, SIOCSIFFLAGS, &request), 0);
  close(fd);
}

// The pool on 127.0.0.29:8708: answers every hello, sends signage points on request, and keeps
// every share it could open.
class FakePool {
 public:
  FakePool() {
    sockaddr_in self{AF_INET, htons(8708), {htonl(kPoolHost)}, {}};
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self), 0) << errno;
    timeval wait{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakePool() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

  void SendSignagePoint(const Datagram& fields87) {
    std::lock_guard lock(mutex_);
    Send(fake_pool::BuildSignagePoint(fields87));
  }
  std::vector<Datagram> Shares() {
    std::lock_guard lock(mutex_);
    return shares_;
  }
  int Hellos() {
    std::lock_guard lock(mutex_);
    return hellos_;
  }
  // The body of every handshake reply from now on: kind, update announcement, text.
  void SetReplyBody(Datagram body) {
    std::lock_guard lock(mutex_);
    body_ = std::move(body);
  }

 private:
  void Send(const Datagram& d) {
    sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&peer_), sizeof peer_);
  }
  void Serve() {
    Datagram d(600);
    while (!stop_) {
      socklen_t size = sizeof peer_;
      sockaddr_in from{};
      const ssize_t n = recvfrom(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                 &size);
      if (n <= 0) continue;
      std::lock_guard lock(mutex_);
      peer_ = from;
      if (d[0] == 0 && n >= 423) {
        fake_pool::Reply r;
        r.echo = static_cast<int32_t>(fake_pool::GetLe(&d[35], 4)), r.expiry = r.echo + 600;
        r.sessionKey = key_, r.withBody = !body_.empty(), r.body = body_, ++hellos_;
        Send(fake_pool::BuildHandshakeReply(r, &d[295]));
      } else if (d[0] == 3 && n >= 33 + 491) {
        const fake_pool::Sealed share = fake_pool::OpenSealed(d.data(), 1, 491, key_);
        if (share.opens) shares_.push_back(share.opened);
      }
    }
  }

  int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  fake_pool::Key16 key_{0x29, 0x1d, 0x08};
  sockaddr_in peer_{};
  std::mutex mutex_;
  std::vector<Datagram> shares_;
  Datagram body_;
  int hellos_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One run of an executable with its console captured (standard error too).
class ProgramRun {
 public:
  ProgramRun(std::string program, std::vector<std::string> args)
      : child_([program = std::move(program), args = std::move(args)]() mutable {
          std::vector<char*> argv{program.data()};
          for (std::string& arg : args) argv.push_back(arg.data());
          argv.push_back(nullptr);
          execv(program.c_str(), argv.data());
          _exit(127);
        }, ChildProcess::kStdoutAndStderr) {}

  // Reads lines until one holds `text`; false when the program ends or goes quiet first.
  bool WaitFor(const std::string& text, int timeoutMs = 120000) {
    while (std::optional<std::string> line = child_.ReadLine(timeoutMs)) {
      lines_.push_back(MarkTime(line));
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The same for the first line holding any of `texts`.
  bool WaitForAny(const std::vector<std::string>& texts, int timeoutMs = 120000) {
    while (std::optional<std::string> line = child_.ReadLine(timeoutMs)) {
      lines_.push_back(MarkTime(line));
      for (const std::string& text : texts) {
        if (line->find(text) != std::string::npos) return true;
      }
    }
    return false;
  }
  void Signal(int signal) { child_.Signal(signal); }
  pid_t Pid() const { return child_.Pid(); }
  // The exit code once the program has ended (-1 when a signal ended it).
  int End() {
    for (const std::string& line : MarkTimes(child_.ReadRest(300000))) lines_.push_back(line);
    const int status = child_.Wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Console() const {
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all;
  }

 private:
  ChildProcess child_;
  std::vector<std::string> lines_;
};

// The header of a plot file (zero past the end of a short one).
inline PlotHeader HeaderOf(const fs::path& plot) {
  const std::vector<uint8_t> bytes = ReadWholeFile(plot);
  PlotHeader header{};
  std::memcpy(&header, bytes.data(), std::min(bytes.size(), sizeof header));
  return header;
}

// A fresh settings folder and one plot directory.
struct Farm {
  TestDirectory root;
  fs::path settings = root / "cfg", plots = root / "plots";
  Farm() { fs::create_directories(settings), fs::create_directories(plots); }
  // A copy of the test build beside an "addresses" file that names the fake pool: the program
  // looks for that file next to itself.
  std::string Program() const {
    const fs::path copy = root / "bin" / fs::path(kTestBuild).filename();
    if (!fs::exists(copy)) {
      fs::create_directories(copy.parent_path());
      fs::copy_file(kTestBuild, copy);
      std::ofstream(copy.parent_path() / "addresses") << "127.0.0.29\n";
    }
    return copy;
  }
  std::vector<std::string> Mining(std::vector<std::string> more = {}) const {
    std::vector<std::string> args{"-s", settings, "-d", plots, "-a", kAddress, "--no-benchmark"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::vector<fs::path> Files(const std::string& extension) const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(plots)) {
      if (entry.path().extension() == extension) found.push_back(entry.path());
    }
    return found;
  }
};

}  // namespace whole_program
