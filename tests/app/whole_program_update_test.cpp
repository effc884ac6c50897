// Whole-program run of the self-update: announced by the pool, found on loopback, installed into
// the program's own folder and restarted into.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <ctime>

#include "chia/blake3_hash.h"
#include "chia/deployment.h"
#include "prover/challenge_scan_job.h"
#include "prover/full_proof_job.h"
#include "prover/plot_access_engine.h"
#include "tests/app/whole_program_support.h"
#include "tests/plotter/plot_test_support.h"
#include "tests/support/scoped_env.h"
#include "tests/support/thrown_text.h"
#include "tests/update/update_seed_support.h"

using namespace whole_program;

namespace {

// The deployment's time server is named in this network's hosts file, on the pool's address.
// The mounts stay in a namespace of this process.
void NameTimeServer(const fs::path& hosts) {
  ASSERT_EQ(unshare(CLONE_NEWNS), 0) << errno;
  ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << errno;
  std::ofstream(hosts) << "127.0.0.1 localhost\n127.0.0.29 " << ActiveDeployment().ntpHost << "\n";
  ASSERT_EQ(mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << errno;
}

// Answers every SNTP query on 127.0.0.29:123 with the same server time.
class FakeTimeServer {
 public:
  explicit FakeTimeServer(int64_t unixSeconds) : seconds_(unixSeconds + 2208988800) {
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in self{AF_INET, htons(123), {htonl(kPoolHost)}, {}};
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&self), sizeof self), 0) << errno;
    timeval wait{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    thread_ = std::thread([this] {
      uint8_t packet[48];
      while (!stop_) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        if (recvfrom(fd_, packet, 48, 0, reinterpret_cast<sockaddr*>(&from), &size) != 48) continue;
        std::fill(std::begin(packet), std::end(packet), 0);
        packet[0] = 0x1C;
        for (int i = 0; i < 4; ++i) packet[40 + i] = static_cast<uint8_t>(seconds_ >> (24 - 8 * i));
        sendto(fd_, packet, 48, 0, reinterpret_cast<sockaddr*>(&from), size);
      }
    });
  }
  ~FakeTimeServer() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

 private:
  const uint32_t seconds_;
  int fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The hello's challenge is the hash of its time, and a thinned plot answers about one challenge
// in a thousand: the first second of [from, from + 30000) whose challenge the plot proves.
std::optional<int64_t> ProvableSecond(const fs::path& plot, int64_t from, std::string& failure) {
  PlotAccessEngine engine({1, 1, 0, 4, 0, PlotScale::WithShift(10)}, HeapArena(), {}, {});
  const std::shared_ptr<PlotFile> file = OpenPlotFile(engine, plot, 0);
  for (int64_t second = from; second < from + 30000; ++second) {
    const uint8_t time[4] = {uint8_t(second), uint8_t(second >> 8), uint8_t(second >> 16),
                             uint8_t(second >> 24)};
    uint8_t challenge[32];
    Blake3Hash(time, 4, challenge);
    auto scan = engine.QueueChallengeScan(file.get(), challenge, 0, nullptr, nullptr);
    scan->Wait();
    if (scan->Count() == 0) continue;
    auto proof = engine.QueueFullProof(file.get(), scan->Positions()[0], challenge, 0, nullptr,
                                       nullptr, nullptr, 1);
    failure = ThrownText([&] { proof->Wait(); });
    if (failure.empty()) return second;
  }
  return std::nullopt;
}

// Kind "new", version 1.4, the torrent's info-hash, signed with the update key; seeding ends
// as soon as the download is complete.
Datagram AnnouncementBody(const Updater::InfoHash& hash) {
  Datagram body(89);
  body[0] = 4;
  fake_pool::PutLe(body, 1, 0x0104, 2);
  fake_pool::Put(body, 3, hash);
  fake_pool::Put(body, 23, fake_pool::Ed25519Sign(test_deployment::kUpdateSeed, &body[1], 22));
  return body;
}

}  // namespace

// The client runs from a copy of the test build. The update holds the test build again, marked at
// its end, and is seeded by a session of the test that the client finds through local service
// discovery (libtorrent starts no DHT node on a network of loopback alone).
TEST(WholeProgram, InstallsAnAnnouncedUpdateAndRestarts) {
  EnterPrivateNetwork();
  Farm farm;
  NameTimeServer(farm.root / "hosts");
  ASSERT_EQ(ProgramRun(kTestBuild, {"-s", farm.settings, "-d,1N", farm.plots, "--no-benchmark",
                                    "-m", "3GB"})
                .End(),
            0);
  ASSERT_EQ(farm.Files(".fpt").size(), 1u);
  const fs::path plot = farm.Files(".fpt")[0];

  const fs::path bin = farm.root / "bin", exe = bin / fs::path(kTestBuild).filename();
  const fs::path seedFolder = farm.root / "seed", tmp = farm.root / "tmp";
  fs::create_directories(bin), fs::create_directories(seedFolder), fs::create_directories(tmp);
  fs::copy_file(kTestBuild, exe);
  std::ofstream(bin / "addresses") << "127.0.0.29\n";  // read next to the executable
  const std::string old = ReadTextFile(exe), updated = old + "\nupdate 1.4\n";
  WriteZip(seedFolder / "update.zip", {{"VarnokChiaPool-1.4/linux/" + exe.filename().string(),
                                        updated}});
  const std::unique_ptr<lt::session> seed = LoopbackSession("127.0.0.29:0", true);
  FakePool pool;
  pool.SetReplyBody(AnnouncementBody(SeedArchive(*seed, seedFolder / "update.zip")));

  // The time server puts the client's clock 12 s before a second its plot proves, so its hello
  // goes out within seconds. Half of the client's clock checks give no offset: a run without a
  // hello is killed and started again.
  ScopedEnv tmpDir("TMPDIR", tmp.c_str());
  const std::vector<std::string> args = farm.Mining({"--no-plotting", "--no-finalizing"});
  std::unique_ptr<ProgramRun> run;
  for (int attempt = 0; attempt < 8 && pool.Hellos() == 0; ++attempt) {
    if (run) run->Signal(SIGKILL), run->End();
    std::string failure = "no challenge matched";
    const std::optional<int64_t> provable =
        ProvableSecond(plot, std::time(nullptr) + 12, failure);
    if (!provable) {
      GTEST_SKIP() << "the thinned plot proves no hello challenge of 30000 seconds (last full "
                      "proof: "
                   << failure << "), so the client never sends its hello";
    }
    FakeTimeServer timeServer(*provable - 12);
    run = std::make_unique<ProgramRun>(exe, args);
    ASSERT_TRUE(run->WaitFor("Connecting to 127.0.0.29")) << run->Console();
    for (int i = 0; i < 200 && pool.Hellos() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ASSERT_GT(pool.Hellos(), 0) << run->Console();
  ASSERT_TRUE(run->WaitFor("VarnokChiaPool version 1.3")) << run->Console();
  const std::string process = "/proc/" + std::to_string(run->Pid());
  EXPECT_EQ(fs::read_symlink(process + "/exe"), exe);
  std::string commandLine = exe.string() + '\0';
  for (const std::string& arg : args) commandLine += arg + '\0';
  std::ifstream cmdline(process + "/cmdline");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(cmdline), {}), commandLine);
  run->Signal(SIGINT);
  run->End();

  const std::vector<std::string>& lines = run->Lines();
  const auto restart = std::find(lines.begin(), lines.end(), "Running the updated version");
  ASSERT_NE(restart, lines.end()) << run->Console();
  EXPECT_EQ(std::count(lines.begin(), restart, "<time> Found new update, downloading..."), 1)
      << run->Console();
  ASSERT_NE(restart + 1, lines.end());
  EXPECT_EQ(restart[1], "VarnokChiaPool version 1.3");
  EXPECT_EQ(run->Console().find("Autoupdate error"), std::string::npos) << run->Console();
  EXPECT_TRUE(ReadTextFile(exe) == updated);
  std::vector<fs::path> backups;
  for (const auto& entry : fs::directory_iterator(bin)) {
    if (entry.path() != exe && entry.path() != bin / "addresses") backups.push_back(entry.path());
  }
  ASSERT_EQ(backups.size(), 1u);
  const std::string backup = backups[0].filename().string();
  EXPECT_EQ(backup.substr(0, 18), "autoupdate_backup_");
  EXPECT_TRUE(backup.size() == 30 && std::all_of(backup.begin() + 18, backup.end(), isdigit));
  EXPECT_TRUE(ReadTextFile(backups[0] / exe.filename()) == old);
}
