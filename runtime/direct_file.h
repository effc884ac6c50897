#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

#include "runtime/memory_arena.h"

// The one file class for plot files, temporary files and finalization output: opened
// unbuffered where the file system allows it, held under an exclusive lock, with its size
// cached and positioned vector I/O retried a fixed number of times.
class DirectFile {
 public:
  using WarningCallback = std::function<void(const std::string&)>;

  explicit DirectFile(WarningCallback callback);
  virtual ~DirectFile();
  DirectFile(const DirectFile&) = delete;
  DirectFile& operator=(const DirectFile&) = delete;

  // Opens or creates `path` and locks it. A lock held by another DirectFile, in this process or
  // another one, refuses the open; `truncate` empties the file only once the lock is ours.
  void Open(const std::filesystem::path& path, bool truncate);

  // The results are byte counts. A read may come back short only where the file ends.
  virtual int64_t Write(uint64_t offset, const void* buffer, uint64_t length);
  virtual int64_t Read(uint64_t offset, void* buffer, uint64_t length);
  virtual int64_t WriteV(uint64_t offset, const iovec* iov, uint64_t count);
  virtual int64_t ReadV(uint64_t offset, const iovec* iov, uint64_t count);
  virtual int64_t GetSize();
  virtual void Truncate(int64_t length);
  // Gives the file zero-filled space for [offset, offset + length) without writing it, growing
  // it as a write of zeros would. False where the file system cannot: the caller writes zeros.
  virtual bool ReserveZeros(uint64_t offset, uint64_t length);

  int64_t ReadOne(uint64_t offset, const iovec& iov);

  bool IsOpen() const;
  std::filesystem::path Path() const;
  // Closes the descriptor, which drops the lock; a closed file may be opened again.
  void Close();

  static constexpr int kMaxAttempts = 10;
  static constexpr uint64_t kBlockSize = 4096;

 private:
  int64_t ReadLocked(uint64_t offset, const iovec* iov, uint64_t count);
  void RefreshSizeLocked();

  int descriptor_ = -1;
  std::filesystem::path path_;
  int64_t size_ = 0;
  mutable std::mutex mutex_;
  WarningCallback callback_;
};

using DirectFileHandle = ArenaPtr<DirectFile>;

// A closed DirectFile placed in `arena`; the handle's deleter closes it (dropping the lock) and
// gives the memory back.
DirectFileHandle NewDirectFile(MemoryArena& arena, DirectFile::WarningCallback callback);

// Set once the warning about a file system without direct I/O has been delivered; the warning
// is given at most once per process.
extern std::atomic<bool> DirectModeWarningShown;

inline constexpr const char* kDirectModeWarning =
    "WARNING: Unable to open file in direct mode, performance will be degraded";
