#include "pool/settings.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <utility>

#include "chia/openssl_error.h"
#include "pool/hex.h"
#include "runtime/console_logger.h"
#include "runtime/text_utils.h"

uint64_t WorkerId = 0;

namespace {

constexpr off_t kMaxSettingsFileBytes = 65536;
constexpr int kCacheVersion = 2;
constexpr int kMaxCacheCount = 32;

// Writes over the file in place on its open descriptor, then cuts the old tail: until the cut the
// file holds the whole new text, never nothing. Logs and goes on when that fails.
bool RewriteLockedFile(const LockedFile& file, const std::string& text) {
  const int fd = file.Fd();
  if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
      ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    LogLine("Error writing: " + file.Path());
    return false;
  }
  return true;
}

std::string WorkerIdText(uint64_t id) {
  return ToHexLower(reinterpret_cast<const uint8_t*>(&id), sizeof id);
}

// Whitespace-separated words of a settings file.
class WordReader {
 public:
  explicit WordReader(std::string_view text) : text_(text) {}

  std::optional<std::string_view> Next() {
    const size_t start = text_.find_first_not_of(kBlanks, position_);
    if (start == std::string_view::npos) return std::nullopt;
    position_ = std::min(text_.find_first_of(kBlanks, start), text_.size());
    return text_.substr(start, position_ - start);
  }

  // A whole word as a decimal number; nothing when the word is missing or is not one.
  template <typename Number>
  std::optional<Number> NextNumber() {
    const std::optional<std::string_view> word = Next();
    if (!word) return std::nullopt;
    Number value{};
    const auto [end, error] = std::from_chars(word->data(), word->data() + word->size(), value);
    if (error != std::errc() || end != word->data() + word->size()) return std::nullopt;
    return value;
  }

  // A count of at most kMaxCacheCount entries.
  std::optional<int> NextCount() {
    const std::optional<int> count = NextNumber<int>();
    if (!count || *count < 0 || *count > kMaxCacheCount) return std::nullopt;
    return count;
  }

  template <size_t N>
  bool NextHex(std::array<uint8_t, N>& out) {
    const std::optional<std::string_view> word = Next();
    if (!word) return false;
    std::array<uint8_t, N> bytes;
    try {
      ParseHexBytes(*word, bytes.data(), N);
    } catch (const std::invalid_argument&) {
      return false;
    }
    out = bytes;
    return true;
  }

 private:
  static constexpr const char* kBlanks = " \t\n\v\f\r";
  std::string_view text_;
  size_t position_ = 0;
};

void OpenLocked(std::optional<LockedFile>& slot, const std::filesystem::path& path) {
  slot.reset();
  slot.emplace(LockedFile::Open(path));
}

}  // namespace

LockedFile LockedFile::Open(const std::filesystem::path& path) {
  const std::string text = path.string();
  const int fd = open(text.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    throw std::runtime_error("Can't open file \"" + text + "\": " + std::strerror(errno));
  }
  if (lockf(fd, F_TLOCK, 0) != 0) {
    const int error = errno;
    close(fd);
    // lockf reports a lock held elsewhere as EAGAIN or EACCES.
    if (error == EAGAIN || error == EACCES) {
      throw std::runtime_error("Failed to lock file \"" + text +
                               "\": Another instance of the program may be running");
    }
    throw std::runtime_error("Failed to lock file \"" + text + "\": " + std::strerror(error));
  }
  return LockedFile(fd, text);
}

LockedFile::LockedFile(LockedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

LockedFile::~LockedFile() {
  if (fd_ >= 0) close(fd_);
}

SettingsFiles& SettingsFilesInstance() {
  static SettingsFiles files;
  return files;
}

SettingsCache& SettingsCacheInstance() {
  static SettingsCache cache;
  return cache;
}

uint64_t NameCacheKey(const std::string& hostName) { return std::hash<std::string>{}(hostName); }

std::string FormatCacheText(const SettingsCache& cache) {
  std::string text = std::to_string(kCacheVersion) + " " +
                     std::to_string(cache.CachedServerAddresses.size()) + " " +
                     ToHexLower(cache.ServerToken.data(), cache.ServerToken.size()) + " " +
                     std::to_string(cache.CacheTime) + " " +
                     ToHexLower(cache.HelloPlotId.data(), cache.HelloPlotId.size()) + "\n";
  for (const std::string& address : cache.CachedServerAddresses) text += address + "\n";
  text += std::to_string(cache.NameCache.size()) + "\n";
  for (const auto& [key, entry] : cache.NameCache) {
    text += std::to_string(key) + " " + std::to_string(entry.time) + " " +
            std::to_string(entry.addressList.size()) + "\n";
    for (const std::string& address : entry.addressList) text += address + "\n";
  }
  return text;
}

void ParseCacheText(std::string_view text, SettingsCache& cache) {
  WordReader words(text);
  const std::optional<int> version = words.NextNumber<int>();
  const std::optional<int> count = version ? words.NextNumber<int>() : std::nullopt;
  if (!count || !words.NextHex(cache.ServerToken)) return;
  const std::optional<int64_t> cacheTime = words.NextNumber<int64_t>();
  if (!cacheTime) return;
  cache.CacheTime = *cacheTime;
  if (!words.NextHex(cache.HelloPlotId)) return;
  if (*version != kCacheVersion || *count < 0 || *count > kMaxCacheCount) return;
  for (int i = 0; i < *count; ++i) {
    const std::optional<std::string_view> address = words.Next();
    if (!address) return;
    cache.CachedServerAddresses.emplace_back(*address);
  }
  const std::optional<int> entries = words.NextCount();
  for (int i = 0; entries && i < *entries; ++i) {
    const std::optional<uint64_t> key = words.NextNumber<uint64_t>();
    const std::optional<int64_t> time = key ? words.NextNumber<int64_t>() : std::nullopt;
    const std::optional<int> addresses = time ? words.NextCount() : std::nullopt;
    if (!addresses) return;
    NameCacheEntry entry{*time, {}};
    for (int j = 0; j < *addresses; ++j) {
      const std::optional<std::string_view> address = words.Next();
      if (!address) return;
      entry.addressList.emplace_back(*address);
    }
    cache.NameCache.try_emplace(*key, std::move(entry));  // the first entry of a key wins
  }
}

std::string ReadLockedFile(const LockedFile& file) {
  const int fd = file.Fd();
  const off_t size = lseek(fd, 0, SEEK_END);
  std::string text;
  if (size >= 0 && size <= kMaxSettingsFileBytes && lseek(fd, 0, SEEK_SET) == 0) {
    text.resize(static_cast<size_t>(size));
    if (read(fd, text.data(), text.size()) == static_cast<ssize_t>(size)) return text;
  }
  LogLine("Error reading: " + file.Path());
  return {};
}

void LoadSettings(const std::filesystem::path& folder) {
  if (!folder.empty()) std::filesystem::create_directories(folder);
  SettingsFiles& files = SettingsFilesInstance();
  OpenLocked(files.CacheFile, folder / "cache");
  OpenLocked(files.WorkerIdFile, folder / "workerid");
  files.SettingsFolder = folder;
  files.storedWorkerId.reset();
  if (folder.empty()) return;

  SettingsCache& cache = SettingsCacheInstance();
  cache = SettingsCache();
  ParseCacheText(ReadLockedFile(*files.CacheFile), cache);

  const std::string stored = ReadLockedFile(*files.WorkerIdFile);
  const size_t start = std::min(stored.find_first_not_of(" \t\n\v\f\r"), stored.size());
  try {
    uint64_t id = 0;
    ParseHexBytes(std::string_view(stored).substr(start), reinterpret_cast<uint8_t*>(&id),
                  sizeof id);
    WorkerId = id;
    files.storedWorkerId = id;
    return;
  } catch (const std::invalid_argument&) {
    // Missing or invalid: a new identity below.
  }
  uint64_t id = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1) ThrowOpenSslError();
  WorkerId = id;
  SaveCache();
}

void SaveCache() {
  SettingsFiles& files = SettingsFilesInstance();
  if (files.SettingsFolder.empty()) return;
  if (files.CacheFile)
    RewriteLockedFile(*files.CacheFile, FormatCacheText(SettingsCacheInstance()));
  if (files.WorkerIdFile && files.storedWorkerId != WorkerId &&
      RewriteLockedFile(*files.WorkerIdFile, WorkerIdText(WorkerId))) {
    files.storedWorkerId = WorkerId;
  }
}
