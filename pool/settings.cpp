#include "pool/settings.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "chia/openssl_error.h"
#include "pool/hex.h"
#include "runtime/console_logger.h"
#include "runtime/text_utils.h"

uint64_t WorkerId = 0;

namespace {

constexpr off_t kMaxSettingsFileBytes = 65536;

// Rewrites the file in place on its open descriptor; logs and goes on when that fails.
void RewriteLockedFile(const LockedFile& file, const std::string& text) {
  const int fd = file.Fd();
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 ||
      write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    LogLine("Error writing: " + file.Path());
  }
}

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
  if (folder.empty()) return;

  const std::string stored = ReadLockedFile(*files.WorkerIdFile);
  const size_t start = std::min(stored.find_first_not_of(" \t\n\v\f\r"), stored.size());
  try {
    uint64_t id = 0;
    ParseHexBytes(std::string_view(stored).substr(start), reinterpret_cast<uint8_t*>(&id),
                  sizeof id);
    WorkerId = id;
    return;
  } catch (const std::invalid_argument&) {
    // Missing or invalid: a new identity below.
  }
  uint64_t id = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof id) != 1) ThrowOpenSslError();
  WorkerId = id;
  RewriteLockedFile(*files.WorkerIdFile,
                    ToHexLower(reinterpret_cast<const uint8_t*>(&WorkerId), sizeof WorkerId));
}
