#include "runtime/direct_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

std::atomic<bool> DirectModeWarningShown{false};

namespace {

std::string Quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\": "; }

int OpenWithRetry(const std::filesystem::path& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// An open-file-description lock belongs to this descriptor alone: a second descriptor of the
// same file is refused in this process as in any other, and closing an unrelated descriptor of
// the file does not drop it.
bool LockWholeFile(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  lock.l_pid = 0;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

uint64_t TotalLength(const iovec* iov, uint64_t count) {
  uint64_t total = 0;
  for (uint64_t i = 0; i < count; ++i) total += iov[i].iov_len;
  return total;
}

}  // namespace

DirectFileHandle NewDirectFile(MemoryArena& arena, DirectFile::WarningCallback callback) {
  return NewInArena<DirectFile>(arena, std::move(callback));
}

DirectFile::DirectFile(WarningCallback callback) : callback_(std::move(callback)) {}

DirectFile::~DirectFile() {
  if (descriptor_ != -1) ::close(descriptor_);
}

void DirectFile::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (descriptor_ != -1) ::close(descriptor_);
  descriptor_ = -1;
  size_ = 0;
}

bool DirectFile::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return descriptor_ != -1;
}

std::filesystem::path DirectFile::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

void DirectFile::Open(const std::filesystem::path& path, bool truncate) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (descriptor_ != -1) throw std::runtime_error("5C04CF05");
  path_ = path;

  // Truncation waits until the lock is held: emptying a file that someone else holds would
  // destroy their data before the lock refused us.
  const int base = O_RDWR | O_CREAT | O_CLOEXEC;
  int fd = OpenWithRetry(path, base | O_DIRECT | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = OpenWithRetry(path, base | O_DIRECT);
  if (fd < 0 && errno == EINVAL) {
    fd = OpenWithRetry(path, base | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = OpenWithRetry(path, base);
    if (fd >= 0 && !DirectModeWarningShown.exchange(true)) {
      try {
        callback_(kDirectModeWarning);
      } catch (...) {
        DirectModeWarningShown = false;
        ::close(fd);
        throw;
      }
    }
  }
  if (fd < 0) {
    throw std::runtime_error("Failed to open or create file " + Quoted(path) +
                             std::strerror(errno));
  }

  if (!LockWholeFile(fd)) {
    const int error = errno;
    ::close(fd);
    throw std::runtime_error("Failed to lock file " + Quoted(path) + std::strerror(error));
  }
  if (truncate && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::runtime_error("Failed to open or create file " + Quoted(path) +
                             std::strerror(error));
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::runtime_error("Failed to get file size " + Quoted(path) + std::strerror(error));
  }
  size_ = info.st_size;
  descriptor_ = fd;
}

int64_t DirectFile::Write(uint64_t offset, const void* buffer, uint64_t length) {
  const iovec iov{const_cast<void*>(buffer), length};
  return WriteV(offset, &iov, 1);
}

int64_t DirectFile::Read(uint64_t offset, void* buffer, uint64_t length) {
  return ReadOne(offset, iovec{buffer, length});
}

int64_t DirectFile::ReadOne(uint64_t offset, const iovec& iov) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadLocked(offset, &iov, 1);
}

int64_t DirectFile::ReadV(uint64_t offset, const iovec* iov, uint64_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadLocked(offset, iov, count);
}

int64_t DirectFile::ReadLocked(uint64_t offset, const iovec* iov, uint64_t count) {
  if (descriptor_ == -1) throw std::runtime_error("46621417");
  const uint64_t total = TotalLength(iov, count);
  for (int attempt = 1;; ++attempt) {
    const uint64_t size = static_cast<uint64_t>(size_);
    const uint64_t expected = offset < size ? std::min(total, size - offset) : 0;
    const ssize_t n =
        ::preadv(descriptor_, iov, static_cast<int>(count), static_cast<off_t>(offset));
    if (n >= 0 && static_cast<uint64_t>(n) == expected) return n;
    if (attempt == kMaxAttempts) {
      throw std::runtime_error("Failed to read file " + Quoted(path_) + "read less than expected");
    }
    // Another writer may have moved the end of the file.
    RefreshSizeLocked();
  }
}

void DirectFile::RefreshSizeLocked() {
  struct stat info {};
  if (::fstat(descriptor_, &info) != 0) {
    const int error = errno;
    throw std::runtime_error("Failed to get file size " + Quoted(path_) + std::strerror(error));
  }
  size_ = info.st_size;
}

int64_t DirectFile::WriteV(uint64_t offset, const iovec* iov, uint64_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (descriptor_ == -1) throw std::runtime_error("D4F635FA");
  const uint64_t total = TotalLength(iov, count);
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const ssize_t n =
        ::pwritev(descriptor_, iov, static_cast<int>(count), static_cast<off_t>(offset));
    if (n >= 0 && static_cast<uint64_t>(n) == total) {
      size_ = std::max<int64_t>(size_, static_cast<int64_t>(offset + total));
      return n;
    }
    if (n < 0 && errno != EINTR) {
      const int error = errno;
      throw std::runtime_error("Failed to write file " + Quoted(path_) + std::strerror(error));
    }
  }
  throw std::runtime_error("Failed to write file " + Quoted(path_) + "written less than requested");
}

bool DirectFile::ReserveZeros(uint64_t offset, uint64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (descriptor_ == -1) throw std::runtime_error("D4F635FA");
  if (length == 0) return true;
  int result;
  do {
    result = ::fallocate(descriptor_, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  size_ = std::max<int64_t>(size_, static_cast<int64_t>(offset + length));
  return true;
}

int64_t DirectFile::GetSize() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (descriptor_ < 0) throw std::runtime_error("300E29A7");
  return size_;
}

void DirectFile::Truncate(int64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (descriptor_ == -1) throw std::runtime_error("2D04BAC9");
  if (length < 0) throw std::runtime_error("4F478E74");
  if (length % static_cast<int64_t>(kBlockSize) != 0) throw std::runtime_error("692523A0");
  if (::ftruncate(descriptor_, length) != 0) {
    const int error = errno;
    throw std::runtime_error("Failed to trim file " + Quoted(path_) + std::strerror(error));
  }
  size_ = length;
}
