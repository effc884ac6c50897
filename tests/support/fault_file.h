#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "runtime/direct_file.h"

// A direct file that fails its transfers on request: every write (read) at or beyond
// `failWritesFrom` (`failReadsFrom`) throws, as a failing disk would. `junkBeyondEnd` fills what a
// short read leaves of the buffer, which the system does not define. While `holding` is set, every
// transfer at or beyond `holdFrom` waits, counted in `held`, as one on a stalled disk would.
class FaultFile : public DirectFile {
 public:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  FaultFile() : DirectFile([](const std::string&) {}) {}

  int64_t WriteV(uint64_t offset, const iovec* iov, uint64_t count) override {
    Hold(offset);
    if (offset >= failWritesFrom) throw std::runtime_error("injected write failure");
    return DirectFile::WriteV(offset, iov, count);
  }
  bool ReserveZeros(uint64_t offset, uint64_t length) override {
    if (offset >= failWritesFrom) throw std::runtime_error("injected write failure");
    return !writeZeros && DirectFile::ReserveZeros(offset, length);
  }
  int64_t Read(uint64_t offset, void* buffer, uint64_t length) override {
    Hold(offset);
    if (offset >= failReadsFrom) throw std::runtime_error("injected read failure");
    const int64_t got = DirectFile::Read(offset, buffer, length);
    if (junkBeyondEnd) {
      const uint64_t delivered = got > 0 ? static_cast<uint64_t>(got) : 0;
      std::memset(static_cast<uint8_t*>(buffer) + delivered, 0xCC, length - delivered);
    }
    return got;
  }
  int64_t ReadV(uint64_t offset, const iovec* iov, uint64_t count) override {
    Hold(offset);
    if (offset >= failReadsFrom) throw std::runtime_error("injected read failure");
    return DirectFile::ReadV(offset, iov, count);
  }

  void Hold(uint64_t offset) {
    if (offset < holdFrom || !holding) return;
    ++held;
    while (holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  std::atomic<uint64_t> failWritesFrom{kNever};
  std::atomic<uint64_t> failReadsFrom{kNever};
  bool junkBeyondEnd = false;
  bool writeZeros = false;  // as a file system without reserved space does
  std::atomic<uint64_t> holdFrom{kNever};
  std::atomic<bool> holding{false};
  std::atomic<uint64_t> held{0};
};
