#include "update/updater.h"

#include <unistd.h>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>
#include <optional>

#include "runtime/console_logger.h"
#include "runtime/option_values.h"
#include "runtime/path_utils.h"
#include "runtime/text_utils.h"
#include "update/torrent_session.h"
#include "update/update_install.h"

namespace {

constexpr int64_t kProgressPrintSeconds = 60;
constexpr int64_t kAnnounceSeconds = 60;
constexpr int64_t kMetadataWaitSeconds = 150;
constexpr int64_t kNoProgressSeconds = 3630;
constexpr int kLimitedUploadRate = 32768;  // bytes/s once the ratio is reached mid-download

const char* StateName(lt::torrent_status::state_t state) {
  switch (state) {
    case lt::torrent_status::checking_files:
      return "checking files";
    case lt::torrent_status::downloading_metadata:
      return "downloading metadata";
    case lt::torrent_status::downloading:
      return "downloading";
    case lt::torrent_status::finished:
      return "finished";
    case lt::torrent_status::seeding:
      return "seeding";
    case lt::torrent_status::checking_resume_data:
      return "checking resume data";
    default:
      return "";
  }
}

// Uploaded bytes per wanted byte done, whole times.
int64_t ShareRatio(const lt::torrent_status& status) {
  if (status.total_wanted_done <= 0) return 0;
  return std::min<int64_t>(status.all_time_upload / status.total_wanted_done,
                           std::numeric_limits<int32_t>::max());
}

}  // namespace

Updater::Updater() : executablePath(GetExecutablePath().string()) {}

Updater::~Updater() {
  if (state != UpdaterState::Restart) return;
  std::puts("Running the updated version");
  std::fflush(stdout);
  std::vector<char*> argv;
  argv.reserve(savedArgs.size() + 1);
  for (std::string& arg : savedArgs) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execve(executablePath.c_str(), argv.data(), environ);
  std::perror("execve");  // the process goes on to a normal exit
}

void Updater::StartDownload(const InfoHash& hash, uint8_t ratio, uint8_t minutes) {
  std::lock_guard lock(mutex);
  if (hash == infoHash) return;
  infoHash = hash;
  try {
    if (TorrentInSession()) session->remove_torrent(torrent);
    torrent = lt::torrent_handle();
    if (!session) {
      sessionProxy.reset();
      session = createSession ? createSession() : CreateTorrentSession(AddressFamily, dhtRouters);
    }
    shareRatioTarget = ratio;
    seedMinutes = minutes;
    bestProgressPpm = 0;
    seedingSince = 0;
    const int64_t now = clock();
    lastProgressPrint = bestProgressTime = lastAnnounceTime = now;
    AddTorrent();
    state = UpdaterState::Downloading;
  } catch (const std::exception& error) {
    Fail(error.what());
  }
}

void Updater::Step() {
  std::lock_guard lock(mutex);
  try {
    StepLocked();
  } catch (const std::exception& error) {
    // A broken session must not reach the pool client or `main`.
    LogLine(std::string("Autoupdate error: ") + error.what());
    try {
      StopSession();
    } catch (const std::exception&) {
    }
  }
}

void Updater::StepLocked() {
  if (!TorrentInSession()) return;
  const int64_t now = clock();
  const lt::torrent_status status = torrent.status();
  if (status.is_seeding && seedingSince == 0) seedingSince = now;
  if (now > lastProgressPrint + kProgressPrintSeconds) {
    PrintProgress(status, now);
    lastProgressPrint = now;
  }
  const int64_t ratio = ShareRatio(status);

  if (status.is_seeding) {
    if (state == UpdaterState::Downloading) Install();
    if (ratio < shareRatioTarget && now - seedingSince <= int64_t{seedMinutes} * 60) return;
    if (state == UpdaterState::InstalledSeeding) state = UpdaterState::Installed;
    StopSession();
    return;
  }

  if (ratio >= shareRatioTarget) {
    if (state != UpdaterState::Downloading) {
      StopSession();
      return;
    }
    torrent.set_upload_limit(kLimitedUploadRate);
  }
  if (status.progress_ppm > bestProgressPpm) {
    bestProgressPpm = status.progress_ppm;
    bestProgressTime = now;
  } else {
    if (now > bestProgressTime + kNoProgressSeconds) {
      StopSession();
      return;
    }
    if (now > lastAnnounceTime + kAnnounceSeconds) {
      torrent.force_dht_announce();
      lastAnnounceTime = now;
    }
  }
  // No peer has sent the torrent's metadata: start over with a fresh session.
  if (status.state == lt::torrent_status::downloading_metadata &&
      now > addedTime + kMetadataWaitSeconds) {
    AbortSession();
    session = createSession ? createSession() : CreateTorrentSession(AddressFamily, dhtRouters);
    AddTorrent();
  }
}

void Updater::StopSession() {
  std::lock_guard lock(mutex);
  if (TorrentInSession()) session->remove_torrent(torrent);
  torrent = lt::torrent_handle();
  AbortSession();
  if (state == UpdaterState::Downloading) {
    ReportManualUpdate();
    state = UpdaterState::Failed;
  }
}

void Updater::ReportManualUpdate() {
  std::lock_guard lock(mutex);
  LogLine("Automatic update failed, please download this torrent and update manually:");
  LogLine("magnet:?xt=urn:btih:" + ToHexLower(infoHash.data(), infoHash.size()));
}

bool Updater::TorrentInSession() const { return session != nullptr && torrent.is_valid(); }

void Updater::AddTorrent() {
  const std::filesystem::path folder = MakeTempPath(infoHash);
  PrepareDownloadFolder(folder);
  lt::add_torrent_params params;
  params.info_hashes =
      lt::info_hash_t(lt::sha1_hash(reinterpret_cast<const char*>(infoHash.data())));
  params.save_path = folder.string();
  torrent = session->add_torrent(std::move(params));
  addedTime = clock();
}

void Updater::AbortSession() {
  if (!session) return;
  auto proxy = std::make_unique<lt::session_proxy>(session->abort());
  sessionProxy = std::move(proxy);  // waits for the shutdown of the one before
  session.reset();
}

void Updater::PrintProgress(const lt::torrent_status& status, int64_t now) {
  char text[128];
  if (status.is_seeding) {
    const int64_t seconds = now - seedingSince;
    const int64_t timePart = seedMinutes > 0 ? seconds * 50 / (int64_t{seedMinutes} * 60) : 0;
    const int64_t uploadTarget = status.total_wanted_done * shareRatioTarget;
    const int64_t uploadPart = uploadTarget != 0 ? status.all_time_upload * 50 / uploadTarget : 0;
    const int64_t part = std::max(timePart, uploadPart);
    std::snprintf(text, sizeof text, "%d%%, %d KiB/s, peers %d",
                  part >= 50 ? 100 : static_cast<int>(50 + part), status.upload_rate / 1024,
                  status.num_peers);
  } else {
    std::snprintf(text, sizeof text, "%d%%, %d KiB/s, peers %d, %s",
                  static_cast<int>(50 * status.progress), status.download_rate / 1024,
                  status.num_peers, StateName(status.state));
  }
  LogLine(std::string("Updating, ") + text);
}

// The archive is taken from the torrent's own, hash-checked file list: the download folder may
// hold other files.
void Updater::Install() {
  try {
    const std::filesystem::path folder = MakeTempPath(infoHash);
    std::optional<std::filesystem::path> archive;
    if (const auto info = torrent.torrent_file()) {
      const lt::file_storage& files = info->files();
      for (const lt::file_index_t file : files.file_range()) {
        const std::filesystem::path path = files.file_path(file, folder.string());
        if (!files.pad_file_at(file) && path.extension() == ".zip") {
          archive = path;
          break;
        }
      }
    }
    if (!archive) throw std::runtime_error("no update archive found");
    InstallUpdate(*archive, folder, executablePath, static_cast<std::time_t>(clock()));
    state = UpdaterState::InstalledSeeding;
  } catch (const std::exception& error) {
    Fail(error.what());
  }
}

void Updater::Fail(const std::string& reason) {
  LogLine("Autoupdate error: " + reason);
  ReportManualUpdate();
  state = UpdaterState::Failed;
}

Updater& UpdaterInstance() {
  static Updater updater;
  return updater;
}
