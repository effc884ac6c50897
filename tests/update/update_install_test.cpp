#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "runtime/path_utils.h"
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
