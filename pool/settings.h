#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// A settings file opened read-write and held with an exclusive lock until it is destroyed, so a
// second instance of the program that uses the same settings folder fails at start-up.
class LockedFile {
 public:
  // Creates the file when missing. Throws "Can't open file \"<path>\": <error>" or
  // "Failed to lock file \"<path>\": Another instance of the program may be running" (or the
  // system's error text for other lock failures).
  static LockedFile Open(const std::filesystem::path& path);

  LockedFile(LockedFile&& other) noexcept;
  LockedFile& operator=(LockedFile&&) = delete;
  ~LockedFile();

  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }

 private:
  LockedFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

  int fd_ = -1;
  std::string path_;
};

// The locked settings files of the run, held until the exit-time handlers run (built by the
// start-up code, see app/process_objects.h).
struct SettingsFiles {
  std::optional<LockedFile> CacheFile;
  std::optional<LockedFile> WorkerIdFile;
  std::filesystem::path SettingsFolder;
};
SettingsFiles& SettingsFilesInstance();

// This client's identity towards the pool; filled by LoadSettings. Stored in "workerid" as 16
// hexadecimal digits, byte 0 of the value in memory order first.
extern uint64_t WorkerId;

// Creates the folder (with its parents), opens and locks "cache" and "workerid" in it for the
// rest of the run and reads the worker id; a missing or invalid one is replaced by 8 random
// bytes and written back. Throws when a file cannot be opened or locked.
//
// Minimal for now: the pool connection's cached state in "cache" is neither read nor written
// yet; the file is only created and locked.
void LoadSettings(const std::filesystem::path& folder);

// The whole content of a settings file, or empty text after a logged "Error reading: <path>"
// (also for files above 65536 bytes).
std::string ReadLockedFile(const LockedFile& file);
