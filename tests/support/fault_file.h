#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "runtime/direct_file.h"

// A direct file that records its transfers and fails them on request: every write (read) at or
// beyond `failWritesFrom` (`failReadsFrom`) throws, as a failing disk would. `junkBeyondEnd`
// fills what a short read leaves of the buffer, which the system does not define.
class FaultFile : public DirectFile {
 public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  FaultFile() : DirectFile([](const std::string&) {}) {}

  int64_t WriteV(uint64_t offset, const iovec* iov, uint64_t count) override {
    BeforeWrite(offset, iov, count);
    return DirectFile::WriteV(offset, iov, count);
  }
  int64_t Read(uint64_t offset, void* buffer, uint64_t length) override {
    const iovec piece{buffer, length};
    BeforeRead(offset, &piece, 1);
    const int64_t got = DirectFile::Read(offset, buffer, length);
    if (junkBeyondEnd) {
      const uint64_t delivered = got > 0 ? static_cast<uint64_t>(got) : 0;
      std::memset(static_cast<uint8_t*>(buffer) + delivered, 0xCC, length - delivered);
    }
    return got;
  }
  int64_t ReadV(uint64_t offset, const iovec* iov, uint64_t count) override {
    BeforeRead(offset, iov, count);
    return DirectFile::ReadV(offset, iov, count);
  }

  using Calls = std::vector<std::pair<uint64_t, std::vector<uint64_t>>>;  // offset, piece lengths
  Calls TakeCalls(Calls& calls) {
    std::lock_guard lock(mutex_);
    return std::exchange(calls, {});
  }

  std::atomic<uint64_t> failWritesFrom{kNever};
  std::atomic<uint64_t> failReadsFrom{kNever};
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> reads{0};
  bool junkBeyondEnd = false;
  std::function<void(uint64_t offset)> onRead;  // called before each read reaches the disk
  Calls writeCalls;
  Calls readCalls;

 private:
  void BeforeWrite(uint64_t offset, const iovec* iov, uint64_t count) {
    if (offset >= failWritesFrom) throw std::runtime_error("injected write failure");
    writes.fetch_add(1);
    Record(writeCalls, offset, iov, count);
  }
  void BeforeRead(uint64_t offset, const iovec* iov, uint64_t count) {
    if (offset >= failReadsFrom) throw std::runtime_error("injected read failure");
    reads.fetch_add(1);
    if (onRead) onRead(offset);
    Record(readCalls, offset, iov, count);
  }
  void Record(Calls& calls, uint64_t offset, const iovec* iov, uint64_t count) {
    std::vector<uint64_t> lengths;
    for (uint64_t i = 0; i < count; ++i) lengths.push_back(iov[i].iov_len);
    std::lock_guard lock(mutex_);
    calls.emplace_back(offset, lengths);
  }
  std::mutex mutex_;
};
