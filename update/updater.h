#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class UpdaterState : int32_t {
  Idle = 0,
  Installed = 2,
  Restart = 5,
};

// The one self-update object. It is built before every other process-wide object and destroyed
// after all of them: in the Restart state its destructor replaces the process with the installed
// executable, keeping the command line.
class Updater {
 public:
  Updater();  // reads the executable path; throws when /proc/self/exe cannot be read
  ~Updater();

  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // One step of the update work (progress, install); throws on failure. Stand-in until the
  // self-update exists: there is no download, so there is nothing to do.
  void Step();
  // Removes the torrent and shuts the torrent session down. Stand-in: there is no session.
  void StopSession();

  std::vector<std::string> savedArgs;  // the command line, argv[0] first
  std::string executablePath;
  UpdaterState state = UpdaterState::Idle;
  std::recursive_mutex mutex;
  int32_t shareRatioTarget = 2;
  int32_t seedMinutes = 10;
  // The torrent session and the update torrent's handle, owned by the download code.
  void* session = nullptr;
  void* torrent = nullptr;
};

Updater& UpdaterInstance();
