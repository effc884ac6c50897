// Whole-program run of the self-update: announced by the pool, found on loopback, installed into
// the program's own folder and restarted into.
#include <gtest/gtest.h>

#include "tests/app/whole_program_support.h"
#include "tests/support/scoped_env.h"
#include "tests/update/update_seed_support.h"

using namespace whole_program;

namespace {

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
  // A sparse plot is mined as well as a final one, and is made sooner.
  ASSERT_EQ(ProgramRun(kTestBuild, {"-s", farm.settings, "-d,1N", farm.plots, "--no-benchmark",
                                    "--no-finalizing"})
                .End(),
            0);
  ASSERT_EQ(farm.Files(".spt").size(), 1u);

  const fs::path exe = farm.Program(), bin = exe.parent_path();
  const fs::path seedFolder = farm.root / "seed", tmp = farm.root / "tmp";
  fs::create_directories(seedFolder), fs::create_directories(tmp);
  const std::string old = ReadTextFile(exe), updated = old + "\nupdate 1.4\n";
  WriteZip(seedFolder / "update.zip", {{"VarnokChiaPool-1.4/linux/" + exe.filename().string(),
                                        updated}});
  const std::unique_ptr<lt::session> seed = LoopbackSession("127.0.0.29:0", true);
  FakePool pool;
  pool.SetReplyBody(AnnouncementBody(SeedArchive(*seed, seedFolder / "update.zip")));

  ScopedEnv tmpDir("TMPDIR", tmp.c_str());
  const std::vector<std::string> args = farm.Mining({"--no-plotting", "--no-finalizing"});
  const auto run = std::make_unique<ProgramRun>(exe, args);
  ASSERT_TRUE(run->WaitFor("Found new update, downloading...")) << run->Console();
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
