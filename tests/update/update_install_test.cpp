#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <libtorrent/address.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "runtime/path_utils.h"
#include "runtime/text_utils.h"
#include "tests/runtime/file_test_support.h"
#include "tests/scoped_env.h"
#include "update/torrent_session.h"
#include "update/update_install.h"
#include "update/updater.h"

namespace fs = std::filesystem;

namespace {

struct Entry {
  Entry(std::string n, std::string c, std::string link = "") : name(n), content(c), linkTarget(link) {}
  std::string name, content, linkTarget;  // a link target makes a symbolic link
};

void WriteZip(const fs::path& path, const std::vector<Entry>& entries) {
  archive* zip = archive_write_new();
  archive_write_set_format_zip(zip);
  ASSERT_EQ(archive_write_open_filename(zip, path.c_str()), ARCHIVE_OK);
  for (const Entry& e : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.name.c_str());
    archive_entry_set_filetype(entry, e.linkTarget.empty() ? AE_IFREG : AE_IFLNK);
    archive_entry_set_perm(entry, 0755);
    archive_entry_set_symlink(entry, e.linkTarget.empty() ? nullptr : e.linkTarget.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
    archive_write_header(zip, entry);
    archive_write_data(zip, e.content.data(), e.content.size());
    archive_entry_free(entry);
  }
  archive_write_free(zip);
}

std::string Read(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kNewProgram =
    "#!/bin/sh\n[ \"$1\" = --internal-tests ] && { readlink /proc/$PPID/cwd >\"$SELF_TEST_LOG\";"
    " exit 0; }\necho \"new $*\"\n";
const std::string kFailingProgram = "#!/bin/sh\nexit 1\n";

std::unique_ptr<lt::session> LoopbackSession() {
  lt::settings_pack settings;
  settings.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
  for (const int off : {lt::settings_pack::enable_dht, lt::settings_pack::enable_lsd,
                        lt::settings_pack::enable_upnp, lt::settings_pack::enable_natpmp}) {
    settings.set_bool(off, false);
  }
  return std::make_unique<lt::session>(std::move(settings));
}

// Seeds one file from a loopback session; downloaders connect to it explicitly.
struct LoopbackSeed {
  explicit LoopbackSeed(const fs::path& file) {
    lt::file_storage files;
    lt::add_files(files, file.string());
    lt::create_torrent torrent(files, 0, lt::create_torrent::v1_only);
    lt::set_piece_hashes(torrent, file.parent_path().string());
    std::vector<char> bytes;
    lt::bencode(std::back_inserter(bytes), torrent.generate());
    lt::add_torrent_params params;
    params.ti = std::make_shared<lt::torrent_info>(bytes, lt::from_span);
    params.save_path = file.parent_path().string();
    const lt::sha1_hash v1 = params.ti->info_hashes().v1;
    std::copy(v1.begin(), v1.end(), hash.begin());
    session->add_torrent(std::move(params));
  }
  std::unique_ptr<lt::session> session = LoopbackSession();
  Updater::InfoHash hash{};
};

// A temporary folder whose path a shell would split, an executable folder holding the old
// program, and a private download folder.
class UpdateInstall : public testing::Test {
 protected:
  UpdateInstall() {
    fs::create_directories(exe_.parent_path());
    std::ofstream(exe_) << "old";
    fs::create_directories(tmp_);
    ::mkdir(download_.c_str(), 0700);
  }
  TestDirectory dir_;
  const fs::path tmp_ = dir_ / "tmp dir; $(touch pwned) 'q\"";
  const fs::path exe_ = dir_ / "exe dir" / "Varnok Pool";
  const fs::path download_ = tmp_ / "d";
  ScopedEnv tmpDir_{"TMPDIR", tmp_.c_str()};
  ScopedEnv log_{"SELF_TEST_LOG", (dir_ / "cwd").c_str()};
};

}  // namespace

TEST_F(UpdateInstall, RefusesFailingAndEscapingArchives) {
  fs::create_directory(dir_ / "outside");
  const struct {
    std::vector<Entry> entries;
    std::string error;
    fs::path absent;
  } rows[] = {
      {{{"u/linux/Varnok Pool", kFailingProgram}}, "Tests fail", ""},
      {{{"u/windows/Varnok Pool", kNewProgram}}, "Can't find OS specific directory in update", ""},
      {{{"../escape", "x"}}, "Path contains '..': ../escape", tmp_ / "escape"},
      {{{(dir_ / "abs").string(), "x"}}, "Path is absolute: " + (dir_ / "abs").string(),
       dir_ / "abs"},
      {{{"out", "", (dir_ / "outside").string()}, {"out/evil", "x"}}, "symlink",
       dir_ / "outside" / "evil"},
  };
  for (const auto& row : rows) {
    WriteZip(dir_ / "a.zip", row.entries);
    const std::string error =
        ThrownText([&] { InstallUpdate(dir_ / "a.zip", download_, exe_, 0); });
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
    if (!row.absent.empty()) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(row.absent)));
    }
    EXPECT_EQ(Read(exe_), "old");
    EXPECT_TRUE(fs::is_empty(download_)) << "unpack folder left behind";
  }
  EXPECT_FALSE(fs::exists(fs::current_path() / "pwned"));
}

TEST_F(UpdateInstall, ReplacesRegularFilesKeepingBackups) {
  WriteZip(dir_ / "a.zip", {{"u/linux/Varnok Pool", kNewProgram},
                            {"u/linux/lib/data", "data"},
                            {"u/linux/passwd", "", "/etc/passwd"}});
  InstallUpdate(dir_ / "a.zip", download_, exe_, 0);
  EXPECT_EQ(Read(exe_), kNewProgram);
  EXPECT_EQ(Read(exe_.parent_path() / "lib" / "data"), "data");
  EXPECT_FALSE(fs::exists(fs::symlink_status(exe_.parent_path() / "passwd")));
  std::vector<fs::path> backups;
  for (const auto& entry : fs::recursive_directory_iterator(exe_.parent_path())) {
    if (entry.path().string().find("autoupdate_backup_") != std::string::npos) {
      backups.push_back(entry.path().lexically_relative(exe_.parent_path()));
    }
  }
  char expected[80];
  const std::time_t epoch = 0;
  std::strftime(expected, sizeof expected, "autoupdate_backup_%y%m%d%I%M%S", std::localtime(&epoch));
  EXPECT_EQ(backups, (std::vector<fs::path>{expected, fs::path(expected) / "Varnok Pool"}));
  EXPECT_EQ(Read(fs::path(exe_.parent_path()) / expected / "Varnok Pool"), "old");
  EXPECT_EQ(Read(dir_ / "cwd"), fs::current_path().string() + "\n");
}

// One updater: a failing update, then a new announcement that installs, seeds for its minute and
// restarts. Archives planted in the download folder before and after the download are ignored.
TEST_F(UpdateInstall, DownloadsFromLoopbackSeedInstallsAndRestarts) {
  Updater updater;
  int64_t now = 1000;
  updater.clock = [&] { return now; };
  updater.createSession = LoopbackSession;
  updater.executablePath = exe_.string();
  for (const std::string& program : {kFailingProgram, kNewProgram}) {
    fs::create_directories(dir_ / "seed");
    WriteZip(dir_ / "seed" / "update.zip", {{"u/linux/Varnok Pool", program}});
    LoopbackSeed seed(dir_ / "seed" / "update.zip");
    const fs::path folder = MakeTempPath(seed.hash);
    ::mkdir(folder.c_str(), 0700);
    WriteZip(folder / "a.zip", {{"linux/Varnok Pool", kFailingProgram}});
    updater.StartDownload(seed.hash, 1, 1);
    ASSERT_EQ(updater.state, UpdaterState::Downloading);
    updater.torrent.connect_peer({lt::make_address("127.0.0.1"), seed.session->listen_port()});
    for (int i = 0; i < 300 && !updater.torrent.status().is_seeding; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    WriteZip(folder / "z.zip", {{"linux/Varnok Pool", kFailingProgram}});
    testing::internal::CaptureStdout();
    updater.Step();
    const std::string log = testing::internal::GetCapturedStdout();
    const bool good = program == kNewProgram;
    EXPECT_EQ(updater.state, good ? UpdaterState::InstalledSeeding : UpdaterState::Failed);
    EXPECT_EQ(log.find("Autoupdate error: Tests fail\n") != std::string::npos, !good) << log;
    EXPECT_EQ(log.find("magnet:?xt=urn:btih:" + ToHexLower(seed.hash.data(), 20)) != std::string::npos, !good);
    EXPECT_EQ(Read(exe_), good ? kNewProgram : "old");
    now += 60;
    updater.Step();
    EXPECT_TRUE(updater.session);
    now += 1;
    updater.Step();
    EXPECT_FALSE(updater.session);
  }
  EXPECT_EQ(updater.state, UpdaterState::Installed);
  ChildProcess child([&] {
    updater.savedArgs = {"Varnok Pool", "-v", "a b"};
    updater.StopSession();
    updater.state = UpdaterState::Restart;
    std::destroy_at(&updater);
  });
  EXPECT_EQ(child.ReadRest(), "Running the updated version\nnew -v a b\n");
}

// A torrent that no peer serves: the progress line every 60 s, the DHT announce every 60 s, a
// fresh session after 150 s without metadata, and giving up after 3630 s without progress.
TEST_F(UpdateInstall, StalledDownloadFollowsItsClockRules) {
  Updater updater;
  int64_t now = 1000;
  int sessions = 0;
  updater.clock = [&] { return now; };
  updater.createSession = [&] { return ++sessions, LoopbackSession(); };
  updater.StartDownload(Updater::InfoHash{1, 2, 3}, 2, 10);
  const struct {
    int64_t time;
    bool progressLine;
    int64_t lastAnnounce;
    int sessions;
    UpdaterState state;
  } rows[] = {
      {1060, false, 1000, 1, UpdaterState::Downloading},
      {1061, true, 1061, 1, UpdaterState::Downloading},
      {1150, true, 1150, 1, UpdaterState::Downloading},
      {1151, false, 1150, 2, UpdaterState::Downloading},
      {4630, true, 4630, 3, UpdaterState::Downloading},
      {4631, false, 4630, 3, UpdaterState::Failed},
  };
  for (const auto& row : rows) {
    now = row.time;
    testing::internal::CaptureStdout();
    updater.Step();
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("Updating, 0%, 0 KiB/s, peers 0, downloading metadata\n") !=
                  std::string::npos, row.progressLine) << row.time << log;
    EXPECT_EQ(updater.lastAnnounceTime, row.lastAnnounce) << row.time;
    EXPECT_EQ(sessions, row.sessions) << row.time;
    EXPECT_EQ(updater.state, row.state) << row.time;
  }
  updater.StartDownload(Updater::InfoHash{1, 2, 3}, 2, 10);  // the same announcement again
  EXPECT_EQ(updater.state, UpdaterState::Failed);
}

TEST_F(UpdateInstall, UnsafeDownloadFolderFailsTheUpdateOnly) {
  for (const auto& plant : std::vector<std::function<void(const fs::path&)>>{
           [](const fs::path& p) { ::mkdir(p.c_str(), 0777), ::chmod(p.c_str(), 0777); },
           [&](const fs::path& p) { fs::create_directory_symlink(dir_.Path(), p); },
           [](const fs::path& p) { std::ofstream(p) << "x"; }}) {
    Updater updater;
    updater.createSession = LoopbackSession;
    const Updater::InfoHash hash{9};
    fs::remove_all(MakeTempPath(hash));
    plant(MakeTempPath(hash));
    testing::internal::CaptureStdout();
    updater.StartDownload(hash, 2, 10);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("is not a private folder of this user\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" Automatic update failed, please download this torrent and update "
                       "manually:\n"), std::string::npos);
    EXPECT_NE(log.find(" magnet:?xt=urn:btih:09" + std::string(38, '0') + "\n"), std::string::npos);
    EXPECT_EQ(updater.state, UpdaterState::Failed);
  }
}

TEST(TorrentSession, ListensOnTheChosenFamiliesAndBootstrapsFromTheRouters) {
  EXPECT_EQ(ListenInterfacesFor(0).preferred, "0.0.0.0:6881,[::]:6881");
  EXPECT_EQ(ListenInterfacesFor(0).fallback, "0.0.0.0:0,[::]:0");
  EXPECT_EQ(ListenInterfacesFor(2).preferred, "0.0.0.0:6881");
  EXPECT_EQ(ListenInterfacesFor(2).fallback, "0.0.0.0:0");
  EXPECT_EQ(ListenInterfacesFor(10).preferred, "[::]:6881");
  EXPECT_EQ(ListenInterfacesFor(10).fallback, "[::]:0");
  const lt::settings_pack settings = TorrentSessionSettings(2, {"a.test:25401", "b.test:6881"});
  EXPECT_EQ(settings.get_str(lt::settings_pack::listen_interfaces), "0.0.0.0:6881");
  EXPECT_EQ(settings.get_str(lt::settings_pack::dht_bootstrap_nodes), "a.test:25401,b.test:6881");
}
