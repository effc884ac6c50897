#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // The worker id as "workerid" holds it, so an unchanged id is never rewritten.
  std::optional<uint64_t> storedWorkerId;
};
SettingsFiles& SettingsFilesInstance();

// This client's identity towards the pool; filled by LoadSettings. Stored in "workerid" as 16
// hexadecimal digits, byte 0 of the value in memory order first.
extern uint64_t WorkerId;

// One host name's resolution.
struct NameCacheEntry {
  int64_t time = 0;  // Unix seconds of the resolution
  std::vector<std::string> addressList;
};

// What the pool connection learns and keeps in "cache" across runs. Only the pool client thread
// uses it once start-up is over.
struct SettingsCache {
  // The addresses of the last successful handshake, and when they were stored (Unix seconds).
  std::vector<std::string> CachedServerAddresses;
  std::array<uint8_t, 16> ServerToken{};
  int64_t CacheTime = 0;
  // The plot whose proof the hello carries.
  std::array<uint8_t, 32> HelloPlotId{};
  // Keyed by NameCacheKey of the host name.
  std::map<uint64_t, NameCacheEntry> NameCache;
};
SettingsCache& SettingsCacheInstance();

// The standard library's string hash, so keys stored by one run are found by the next.
uint64_t NameCacheKey(const std::string& hostName);

// The "cache" file's text: "2 N token time plot-id", N address lines, the entry count, then per
// entry (ascending key) "key time K" and K address lines.
std::string FormatCacheText(const SettingsCache& cache);

// Takes the fields of a "cache" text into `cache` in file order, each as soon as it is read. The
// first field that is missing or does not parse, a version other than 2 or a count outside 0..32
// ends the reading; what was taken before stays. Never throws for malformed text.
void ParseCacheText(std::string_view text, SettingsCache& cache);

// Creates the folder (with its parents), opens and locks "cache" and "workerid" in it for the
// rest of the run, reads the cached values and the worker id; a missing or invalid id is
// replaced by 8 random bytes and both files are saved. Throws when a file cannot be opened or
// locked.
void LoadSettings(const std::filesystem::path& folder);

// Rewrites "cache" from SettingsCacheInstance(), and "workerid" when the id differs from what it
// holds. Each file is written over in place on its locked descriptor and then cut to the new
// length, so a crash never leaves it empty. Failures are logged ("Error writing: <path>") and
// the values in memory stay; nothing happens before LoadSettings was given a folder.
void SaveCache();

// The whole content of a settings file, or empty text after a logged "Error reading: <path>"
// (also for files above 65536 bytes).
std::string ReadLockedFile(const LockedFile& file);
