// The test build of the executable (test deployment, plots thinned by 2^10) run whole, inside a
// network of its own with only loopback up, against a fake pool server found through the
// settings folder's "addresses" file.
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

#include "chia/plot_keys.h"
#include "plotter/engine_memory.h"
#include "runtime/text_utils.h"
#include "tests/app/app_test_support.h"
#include "tests/chia/pos_verifier.h"
#include "tests/plotter/sparse_plot_support.h"
#include "tests/pool/fake_pool_codec.h"
#include "tests/support/child_process.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/time_prefix.h"

namespace fs = std::filesystem;
using Datagram = fake_pool::Bytes;

namespace {

const std::string kRelease = std::string(VARNOK_BINARY_DIR) + "/app/VarnokChiaPool";
const std::string kTestBuild = std::string(VARNOK_BINARY_DIR) + "/tests/VarnokChiaPoolTestDeployment";
const std::string kAddress = app_test::AddressOf(app_test::SamplePuzzleHash());
constexpr uint32_t kPoolHost = 0x7f00001d;  // 127.0.0.29

// What the remaining scenarios still lack.
constexpr const char* kNoScaledVerifier =
    "not yet checkable: the independent verifier knows no plot scale, and nothing here picks the "
    "challenges a thinned plot answers from its table 5";
constexpr const char* kNoUpdatePeer =
    "the update download finds no peer inside a private network: the test deployment's DHT "
    "router does not resolve and nothing hands the client a loopback seed";

// This process and every program it starts get a network of their own with only loopback up,
// so nothing they send can leave the machine.
void EnterPrivateNetwork() {
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
        r.sessionKey = key_, ++hellos_;
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
  void Signal(int signal) { child_.Signal(signal); }
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

// A fresh settings folder that names the fake pool, and one plot directory.
struct Farm {
  TestDirectory root;
  fs::path settings = root / "cfg", plots = root / "plots";
  Farm() {
    fs::create_directories(settings), fs::create_directories(plots);
    std::ofstream(settings / "addresses") << "127.0.0.29\n";
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

}  // namespace

// The release build plans with full-size plots and the test build with thinned ones: the memory
// a plot needs shows which scale each was built with.
TEST(WholeProgram, OnlyTheTestBuildThinsItsPlots) {
  EnterPrivateNetwork();
  Farm farm;
  for (const auto& [program, scale] : {std::pair{kRelease, PlotScale::Production()},
                                       std::pair{kTestBuild, PlotScale::WithShift(10)}}) {
    ProgramRun run(program, {"-s", farm.settings, "-d", farm.plots, "--no-finalizing", "--no-benchmark",
                      "--p-threads", "2", "-m", "100MB"});
    EXPECT_EQ(run.End(), 1) << program;
    PlotEngineSettings settings{2, 0, 1, scale};
    const uint64_t need = (uint64_t{64} << 20) + EstimateJobMemory(settings) + (uint64_t{1} << 30);
    EXPECT_EQ(run.Lines(),
              (std::vector<std::string>{"VarnokChiaPool version 1.3",
                                        "<time> ERROR: Too few memory specified, at least " +
                                            FormatGiB(need) + "GiB needed"}))
        << program;
  }
}

// A fresh start names its address and worker, keeps its settings, and stops cleanly: Ctrl+C
// once, then twice.
TEST(WholeProgram, FreshStartMinesUntilInterrupted) {
  EnterPrivateNetwork();
  Farm farm;
  FakePool pool;
  for (int interrupts : {1, 2}) {
    ProgramRun run(kTestBuild, farm.Mining({"--no-plotting", "--no-finalizing"}));
    ASSERT_TRUE(run.WaitFor("Worker: ")) << run.Console();
    for (int i = 0; i < interrupts; ++i) run.Signal(SIGINT);
    EXPECT_EQ(run.End(), 0) << run.Console();
    ASSERT_GE(run.Lines().size(), 3u);
    EXPECT_EQ(run.Lines()[0], "VarnokChiaPool version 1.3");
    EXPECT_EQ(run.Lines()[1], "Mining on address: " + kAddress);
  }
  EXPECT_EQ(ReadTextFile(farm.settings / "workerid").size(), 16u);
  // Without a plot there is nothing to prove to the pool, so it is not contacted.
  EXPECT_EQ(pool.Hellos(), 0);
}

// A sparse plot found in the plot directory is finalized and then deleted; a run killed while
// finalizing is started again with the same command line and ends in the same final plot.
TEST(WholeProgram, FinalizesFoundSparsePlotsAlsoAfterAKill) {
  EnterPrivateNetwork();
  SparseCase sparse = MakeSparseCase(29, 16);
  // Only plots with this deployment's keys are finalized.
  uint32_t code = 0;
  ASSERT_TRUE(DefaultPlotKeyProvider()->NewPlotKeys(
      sparse.plot.header.plotId, &sparse.plot.header.keyBlockFlag, sparse.plot.header.keyBlock,
      &code));
  std::vector<uint8_t> finals[2];
  for (const bool killed : {false, true}) {
    Farm farm;
    sparse.plot.Write(farm.plots / "found.spt");
    const std::vector<std::string> args{"-s", farm.settings, "-d", farm.plots, "--no-plotting",
                                        "--no-benchmark"};
    if (killed) {
      ProgramRun run(kTestBuild, args);
      ASSERT_TRUE(run.WaitFor("Start finalization")) << run.Console();
      run.Signal(SIGKILL);
      ASSERT_EQ(farm.Files(".fpt_part").size(), 1u) << run.Console();
      run.End();
    }
    ProgramRun run(kTestBuild, args);
    for (int i = 0; i < 1200 && (farm.Files(".fpt").empty() || !farm.Files(".spt").empty()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    run.Signal(SIGINT);
    EXPECT_EQ(run.End(), 0) << run.Console();
    ASSERT_EQ(farm.Files(".fpt").size(), 1u) << run.Console();
    EXPECT_TRUE(farm.Files(".spt").empty() && farm.Files(".fpt_part").empty()) << run.Console();
    finals[killed] = ReadWholeFile(farm.Files(".fpt")[0]);
    PlotHeader header;
    std::memcpy(&header, finals[killed].data(), sizeof header);
    EXPECT_EQ(std::tuple(header.sparse, header.complete), std::tuple(0, 1));
    for (int t = 0; t < 6; ++t) EXPECT_EQ(header.tables[t].entryCount, sparse.expected[t].size());
    // The random marker value differs from run to run.
    std::memset(finals[killed].data() + 24, 0, 8);
    std::memset(finals[killed].data() + header.start.markerOffset, 0, 8);
  }
  EXPECT_TRUE(finals[0] == finals[1]);
}

// A fresh farm plots, finalizes, mines, and sends shares that the fake pool opens and the
// independent verifier accepts.
TEST(WholeProgram, PlotsFinalizesAndSharesProofs) {
  GTEST_SKIP() << kNoScaledVerifier;
  EnterPrivateNetwork();
  Farm farm;
  FakePool pool;
  ProgramRun run(kTestBuild, farm.Mining());
  ASSERT_TRUE(run.WaitFor("Connection established", 600000)) << run.Console();
  ASSERT_EQ(farm.Files(".fpt").size(), 1u);
  EXPECT_TRUE(farm.Files(".spt").empty());
  Datagram fields(87, 0);
  for (int point = 0; point < 64 && pool.Shares().empty(); ++point) {
    std::fill(fields.begin(), fields.begin() + 64, static_cast<uint8_t>(point));
    fields[85] = 1, fields[86] = static_cast<uint8_t>(point), fields[84] = 30;
    pool.SendSignagePoint(fields);
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  run.Signal(SIGINT);
  EXPECT_EQ(run.End(), 0);
  ASSERT_FALSE(pool.Shares().empty()) << run.Console();
  for (const Datagram& share : pool.Shares()) {
    uint32_t proof[64];
    for (int i = 0; i < 64; ++i) proof[i] = static_cast<uint32_t>(fake_pool::GetLe(&share[64 + 4 * i], 4));
    EXPECT_TRUE(pos_oracle::VerifyProof(&share[32], &share[0], proof));
  }
}

// Killed while plotting and while finalizing, then started again with the same command line:
// the plot goes on to its final plot, and the sparse plot goes once that is complete.
TEST(WholeProgram, KilledRunsResumeTheSamePlot) {
  EnterPrivateNetwork();
  Farm farm;
  const std::vector<std::string> args{"-s", farm.settings, "-d,1N", farm.plots, "--no-benchmark",
                                      "-m", "3GB"};
  // A plot killed before its first save has nothing to resume and is made anew; a finalization
  // goes on from its complete sparse plot.
  std::string stem;
  for (const auto& [stage, extension] :
       {std::pair{"Plotting, ", ".spt_part"}, {"Start finalization", ".fpt_part"}}) {
    ProgramRun run(kTestBuild, args);
    ASSERT_TRUE(run.WaitFor(stage)) << run.Console();
    run.Signal(SIGKILL);
    run.End();
    const std::vector<fs::path> part = farm.Files(extension);
    ASSERT_EQ(part.size(), 1u) << run.Console();
    stem = part[0].stem();
  }
  ProgramRun run(kTestBuild, args);
  for (int i = 0; i < 1200 && (farm.Files(".fpt").empty() || !farm.Files(".spt").empty()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  run.Signal(SIGINT);
  EXPECT_EQ(run.End(), 0) << run.Console();
  ASSERT_EQ(farm.Files(".fpt").size(), 1u) << run.Console();
  EXPECT_EQ(farm.Files(".fpt")[0].stem(), stem);
  EXPECT_TRUE(farm.Files(".spt").empty() && farm.Files(".spt_part").empty()) << run.Console();
  EXPECT_EQ(run.Console().find("corrupt"), std::string::npos) << run.Console();
}

// Ctrl+C twice saves the plot in progress at once and a restart continues it; Ctrl+C once
// finishes it first.
TEST(WholeProgram, InterruptedPlottingResumes) {
  EnterPrivateNetwork();
  std::unique_ptr<Farm> farm;
  // Interrupts, and whether the run starts on a fresh farm.
  for (const auto& [interrupts, fresh] : {std::pair{2, true}, {0, false}, {1, true}}) {
    if (fresh) farm = std::make_unique<Farm>();
    ProgramRun run(kTestBuild, {"-s", farm->settings, "-d,1N", farm->plots, "--no-benchmark",
                                "--no-finalizing", "-m", "2GB"});
    ASSERT_TRUE(run.WaitFor("Plotting, ")) << run.Console();
    for (int i = 0; i < interrupts; ++i) {
      // Signals that arrive together may count as one.
      if (i > 0) {
        ASSERT_TRUE(run.WaitFor("Stop requested")) << run.Console();
      }
      run.Signal(SIGINT);
    }
    if (interrupts == 0) {
      EXPECT_NE(run.Console().find("Continue plotting"), std::string::npos) << run.Console();
      ASSERT_TRUE(run.WaitFor("Plot done")) << run.Console();
      run.Signal(SIGINT);
    }
    EXPECT_EQ(run.End(), 0) << run.Console();
    // Saved at once, or the one plot of the directory completed (never a second one).
    EXPECT_EQ(farm->Files(".spt_part").size(), interrupts == 2 ? 1u : 0u) << run.Console();
    EXPECT_EQ(farm->Files(".spt").size(), interrupts == 2 ? 0u : 1u) << run.Console();
  }
}

// An update announced by the pool is downloaded from a loopback seed, self-tested, installed
// into the program's folder, and restarted into with the same command line.
TEST(WholeProgram, InstallsAnAnnouncedUpdateAndRestarts) {
  GTEST_SKIP() << kNoUpdatePeer;
}

// A plot made for a password's key is mined only after a run with -p has tested it.
TEST(WholeProgram, DelegatedPlotIsMinedOnlyAfterItsPasswordRun) {
  GTEST_SKIP() << kNoScaledVerifier;
}

// --query prints a proof of a finished plot that the verifier accepts.
TEST(WholeProgram, QueryPrintsAVerifiedProof) {
  GTEST_SKIP() << kNoScaledVerifier;
}
