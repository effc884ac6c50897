#include <gtest/gtest.h>

#include <thread>

#include "runtime/path_utils.h"
#include "tests/support/child_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/thrown_text.h"
#include "tests/support/whole_file.h"
#include "tests/update/update_seed_support.h"
#include "update/update_archive.h"
#include "update/update_install.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Its self-test records the working directory of the process that started it.
const std::string kNewProgram =
    "#!/bin/sh\n[ \"$1\" = --internal-tests ] && { readlink /proc/$PPID/cwd >\"$SELF_TEST_LOG\";"
    " exit 0; }\necho \"new $*\"\n";

// A temporary folder whose path a shell would split, an executable folder holding the old
// program; the temporary folder is the download folder of InstallUpdate.
class SelfUpdate : public testing::Test {
 protected:
  SelfUpdate() {
    fs::create_directories(exe_.parent_path());
    WriteWholeFile(exe_, std::string("old"));
    fs::create_directories(tmp_);
  }
  TestDirectory dir_;
  const fs::path tmp_ = dir_ / "tmp dir; $(touch pwned) 'q\"";
  const fs::path exe_ = dir_ / "exe dir" / "Varnok Pool";
  ScopedEnv tmpDir_{"TMPDIR", tmp_.c_str()};
  ScopedEnv log_{"SELF_TEST_LOG", (dir_ / "cwd").c_str()};
};

}  // namespace

// A self-test still running after the limit is killed and fails the install.
TEST_F(SelfUpdate, RefusesFailingAndEscapingArchives) {
  constexpr std::chrono::seconds kTestLimit(2);
  const std::string outside = dir_.Path().string(), absolute = (dir_ / "abs").string();
  for (const auto& [entries, expected, absent] :
       std::vector<std::tuple<std::vector<ZipEntry>, std::string, fs::path>>{
           {{{"u/linux/Varnok Pool", "#!/bin/sh\nexit 1\n"}}, "Tests fail", ""},
           {{{"u/linux/Varnok Pool", "#!/bin/sh\nexec sleep 60\n"}}, "Tests fail", ""},
           {{{"u/win/Varnok Pool", kNewProgram}}, "Can't find OS specific directory in update", ""},
           {{{"../escape", "x"}}, "Path contains '..': ../escape", tmp_ / "escape"},
           {{{absolute, "x"}}, "Path is absolute: " + absolute, absolute},
           {{{"out", "", outside}, {"out/evil", "x"}}, "through symlink", outside + "/evil"},
       }) {
    WriteZip(dir_ / "a.zip", entries);
    const auto install = [&] { InstallUpdate(dir_ / "a.zip", tmp_, exe_, 0, kTestLimit); };
    EXPECT_TRUE(Has(ThrownText(install), expected));
    EXPECT_TRUE(absent.empty() || !fs::exists(fs::symlink_status(absent)));
    EXPECT_EQ(ReadTextFile(exe_), "old");
    EXPECT_TRUE(fs::is_empty(tmp_)) << "unpack folder left behind";
  }
}

// Three entries of 100 bytes: a limit one short stops before the entry that would pass it.
TEST_F(SelfUpdate, ExtractionStopsAtItsLimits) {
  const std::string content(100, 'x');
  WriteZip(dir_ / "a.zip", {{"a", content}, {"b", content}, {"c", content}});
  for (const auto& [bytes, entries, expected, written] :
       std::vector<std::tuple<uint64_t, uint32_t, std::string, size_t>>{
           {300, 3, "no exception", 3},
           {299, 3, "Update archive is larger than 299 bytes", 2},
           {300, 2, "Update archive has more than 2 entries", 2},
       }) {
    const fs::path out = dir_ / ("out" + std::to_string(bytes) + std::to_string(entries));
    fs::create_directory(out);
    const ExtractLimits limits{bytes, entries};
    const auto extract = [&] { ExtractUpdateArchive(dir_ / "a.zip", out, limits); };
    EXPECT_EQ(ThrownText(extract), expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), written) << expected;
  }
}

// Downloaded from a loopback seed, installed (an archive planted in the download folder is
// ignored), seeded for its minute, and restarted into.
TEST_F(SelfUpdate, DownloadsFromLoopbackSeedInstallsAndRestarts) {
  const fs::path seedFolder = dir_.Path(), archive = seedFolder / "update.zip";
  WriteZip(archive, {{"u/linux/Varnok Pool", kNewProgram},
                     {"u/linux/lib/data", "data"},
                     {"u/linux/passwd", "", "/etc/passwd"}});
  const std::unique_ptr<lt::session> seed = LoopbackSession();
  const Updater::InfoHash hash = SeedArchive(*seed, archive);

  Updater updater;
  int64_t now = 1000;
  updater.clock = [&] { return now; };
  updater.createSession = [] { return LoopbackSession(); };
  updater.executablePath = exe_.string();
  updater.StartDownload(hash, 1, 1);
  updater.torrent.connect_peer({lt::make_address("127.0.0.1"), seed->listen_port()});
  // The limit only bounds a hang.
  for (int i = 0; i < 2400 && !updater.torrent.status().is_seeding; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(updater.torrent.status().is_seeding);
  WriteZip(MakeTempPath(hash) / "planted.zip", {{"linux/Varnok Pool", "#!/bin/sh\nexit 1\n"}});
  for (const UpdaterState state :
       {UpdaterState::InstalledSeeding, UpdaterState::InstalledSeeding, UpdaterState::Installed}) {
    updater.Step();
    EXPECT_EQ(updater.state, state) << now;
    now += now == 1000 ? 60 : 1;
  }
  EXPECT_EQ(ReadTextFile(exe_), kNewProgram);
  EXPECT_EQ(ReadTextFile(exe_.parent_path() / "lib" / "data"), "data");
  EXPECT_FALSE(fs::exists(fs::symlink_status(exe_.parent_path() / "passwd")));
  char backup[80];
  const std::time_t installed = 1000;
  std::strftime(backup, sizeof backup, "autoupdate_backup_%y%m%d%I%M%S",
                std::localtime(&installed));
  EXPECT_EQ(ReadTextFile(exe_.parent_path() / backup / "Varnok Pool"), "old");
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(exe_.parent_path() / backup), {}), 1);
  EXPECT_EQ(ReadTextFile(dir_ / "cwd"), fs::current_path().string() + "\n");
  ChildProcess child([&] {
    updater.state = UpdaterState::Restart;  // as `main` leaves it
    updater.savedArgs = {"Varnok Pool", "-v", "a b"};
    std::destroy_at(&updater);
  });
  EXPECT_EQ(child.ReadRest(), "Running the updated version\nnew -v a b\n");
}

// Unsafe download folders fail at once. No peer serves the torrent: the progress line and the
// DHT announce every 60 s, a fresh session after 150 s without metadata, and giving up after
// 3630 s without progress.
TEST_F(SelfUpdate, StalledDownloadFollowsItsClockRules) {
  Updater updater;
  int64_t now = 1000;
  int sessions = 0;
  updater.clock = [&] { return now; };
  updater.createSession = [&] { return ++sessions, LoopbackSession(); };
  // A planted download folder (here a link; a folder open to others alike) fails the update.
  fs::create_directory_symlink(dir_.Path(), MakeTempPath(Updater::InfoHash{9}));
  updater.StartDownload(Updater::InfoHash{9}, 2, 10);
  EXPECT_EQ(updater.state, UpdaterState::Failed);
  updater.StartDownload(Updater::InfoHash{1, 2, 3}, 2, 10);
  for (const auto& [time, lastAnnounce, progressLine, count, state] :
       std::vector<std::tuple<int64_t, int64_t, bool, int, UpdaterState>>{
           {1060, 1000, false, 1, UpdaterState::Downloading},
           {1061, 1061, true, 1, UpdaterState::Downloading},
           {1150, 1150, true, 1, UpdaterState::Downloading},
           {1151, 1150, false, 2, UpdaterState::Downloading},
           {4630, 4630, true, 3, UpdaterState::Downloading},
           {4631, 4630, false, 3, UpdaterState::Failed},
       }) {
    now = time;
    testing::internal::CaptureStdout();
    updater.Step();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Has(log, "Updating, 0%, 0 KiB/s, peers 0, downloading metadata\n"), progressLine);
    EXPECT_EQ(Has(log, "manually:\n") && Has(log, " magnet:?xt=urn:btih:010203000"),
              state == UpdaterState::Failed);
    EXPECT_EQ(std::pair(updater.lastAnnounceTime, sessions), std::pair(lastAnnounce, count))
        << time;
    EXPECT_EQ(updater.state, state) << time;
  }
}
