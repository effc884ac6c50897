#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <libtorrent/fwd.hpp>
#include <libtorrent/torrent_handle.hpp>

enum class UpdaterState : int32_t {
  Idle = 0,
  Downloading = 1,
  Installed = 2,  // installed, seeding finished
  Failed = 3,     // the manual-update lines were printed
  InstalledSeeding = 4,
  Restart = 5,  // replace the process with the new executable at exit
};

// The one self-update object. The pool session announces a new version with StartDownload; the
// pool client and `main` drive the download and the install with Step. It is built before every
// other process-wide object and destroyed after all of them: in the Restart state its
// destructor replaces the process with the installed executable, keeping the command line.
//
// Failures never leave the updater: they are logged with the manual-update lines and end in the
// Failed state.
class Updater {
 public:
  using InfoHash = std::array<uint8_t, 20>;

  Updater();  // reads the executable path; throws when /proc/self/exe cannot be read
  ~Updater();

  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // An accepted announcement: the torrent's version-1 info-hash, the share ratio to reach and
  // the minutes to keep seeding after the install. The hash being downloaded changes nothing.
  void StartDownload(const InfoHash& hash, uint8_t ratio, uint8_t minutes);
  // One step of the update work: progress line, install, seeding end, stalled downloads.
  void Step();
  // Removes the torrent and shuts the torrent session down; a download not yet installed fails.
  void StopSession();
  // Logs the magnet link for a manual update.
  void ReportManualUpdate();

  std::vector<std::string> savedArgs;  // the command line, argv[0] first
  std::string executablePath;
  UpdaterState state = UpdaterState::Idle;
  std::recursive_mutex mutex;
  int32_t shareRatioTarget = 2;
  int32_t seedMinutes = 10;
  int32_t bestProgressPpm = 0;
  // Unix seconds of `clock`.
  int64_t bestProgressTime = 0;
  int64_t lastAnnounceTime = 0;
  int64_t lastProgressPrint = 0;
  int64_t addedTime = 0;     // when the torrent was last added to a session
  int64_t seedingSince = 0;  // first step that saw the download complete; 0 before
  InfoHash infoHash{};
  std::unique_ptr<lt::session> session;
  lt::torrent_handle torrent;
  // The last aborted session's shutdown; replacing or destroying it waits for that shutdown.
  std::unique_ptr<lt::session_proxy> sessionProxy;

  // Where the update's DHT starts (deployment values, "host:port").
  std::vector<std::string> dhtRouters;
  // Makes each torrent session; unset: CreateTorrentSession with AddressFamily and dhtRouters.
  std::function<std::unique_ptr<lt::session>()> createSession;
  std::function<int64_t()> clock = [] { return static_cast<int64_t>(std::time(nullptr)); };

 private:
  bool TorrentInSession() const;
  void AddTorrent();
  void AbortSession();
  void PrintProgress(const lt::torrent_status& status, int64_t now);
  void Install();
  void Fail(const std::string& reason);
  void StepLocked();
};

Updater& UpdaterInstance();
