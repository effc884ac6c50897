#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "runtime/memory_arena.h"
#include "runtime/system_memory.h"
#include "tests/support/fault_arena.h"

// Made-up host for the arena: scripted memory figures and resident sizes, recorded mappings, and
// a lock limit that behaves like RLIMIT_MEMLOCK.
class FakeSystemMemory : public SystemMemory {
 public:
  static constexpr uint64_t kGiB = uint64_t{1} << 30;
  static constexpr uint64_t kMiB = uint64_t{1} << 20;

  uint64_t page = 4096;
  bool meminfoReadable = true;
  std::string meminfo;
  bool sysinfoOk = true;
  SysInfo sysinfo;
  // Resident sizes returned one per read of "/proc/self/status" (0: unreadable); the last one
  // repeats.
  std::deque<uint64_t> rss;
  int statusReads = 0;

  // Real mappings are made only where the arena will touch the pages (not forced); otherwise a
  // made-up address is handed out and must never be dereferenced.
  bool realMappings = false;
  uint64_t mapLimit = ~uint64_t{0};  // longer mappings are refused
  std::vector<uint64_t> mapCalls;
  std::vector<std::pair<uintptr_t, uint64_t>> unmapCalls;

  int lockError = 0;  // forced errno for every lock (0: follow the limit)
  bool getLimitOk = true;
  bool setLimitOk = true;
  uint64_t softLimit = ~uint64_t{0};
  uint64_t hardLimit = ~uint64_t{0};
  uint64_t lockedBytes = 0;
  int lockCalls = 0;
  std::vector<std::pair<uint64_t, uint64_t>> setLimitCalls;
  uint64_t processors = 1;  // threads the arena may touch pages with

  ~FakeSystemMemory() override {
    for (auto& [address, length] : liveRealMappings_)
      munmap(reinterpret_cast<void*>(address), length);
  }

  void SetMemInfo(uint64_t totalKib, uint64_t availableKib, uint64_t swapFreeKib) {
    meminfo = "MemTotal:       " + std::to_string(totalKib) + " kB\nMemFree:  1 kB\n" +
              "MemAvailable:   " + std::to_string(availableKib) + " kB\nBuffers: 7 kB\n" +
              "SwapTotal: 0 kB\nSwapFree:       " + std::to_string(swapFreeKib) + " kB\n";
  }

  uint64_t PageSize() override { return page; }

  bool ReadTextFile(const char* path, std::string& text) override {
    if (std::string(path) == "/proc/meminfo") {
      if (!meminfoReadable) return false;
      text = meminfo;
      return true;
    }
    if (std::string(path) == "/proc/self/status") {
      ++statusReads;
      uint64_t value = 0;
      if (!rss.empty()) {
        value = rss.front();
        if (rss.size() > 1) rss.pop_front();
      }
      if (value == 0) return false;
      text = "Name:\ttests\nVmPeak:\t  999 kB\nVmRSS:\t  " + std::to_string(value / 1024) +
             " kB\nThreads: 1\n";
      return true;
    }
    return false;
  }

  bool QuerySysInfo(SysInfo& info) override {
    info = sysinfo;
    return sysinfoOk;
  }

  void* Map(uint64_t length) override {
    mapCalls.push_back(length);
    if (length > mapLimit) return nullptr;
    if (realMappings) {
      void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (p == MAP_FAILED) return nullptr;
      liveRealMappings_.push_back({reinterpret_cast<uintptr_t>(p), length});
      return p;
    }
    return reinterpret_cast<void*>(kFakeBase + (mapCalls.size() - 1) * kFakeStride);
  }

  void Unmap(void* address, uint64_t length) override {
    unmapCalls.push_back({reinterpret_cast<uintptr_t>(address), length});
    if (realMappings && length != 0) {
      munmap(address, length);
      // Keep the record of what is still mapped for the destructor.
      const uintptr_t start = reinterpret_cast<uintptr_t>(address);
      for (auto& [mapped, mappedLength] : liveRealMappings_) {
        if (start >= mapped && start < mapped + mappedLength) {
          if (start == mapped) {
            mappedLength = 0;
          } else {
            mappedLength = start - mapped;
          }
        }
      }
    }
  }

  int Lock(void*, uint64_t length) override {
    ++lockCalls;
    if (lockError != 0) return lockError;
    if (softLimit != ~uint64_t{0} && lockedBytes + length > softLimit) return ENOMEM;
    lockedBytes += length;
    return 0;
  }

  bool GetLockLimit(uint64_t& soft, uint64_t& hard) override {
    soft = softLimit;
    hard = hardLimit;
    return getLimitOk;
  }

  bool SetLockLimit(uint64_t soft, uint64_t hard) override {
    setLimitCalls.push_back({soft, hard});
    if (!setLimitOk) return false;
    softLimit = soft;
    hardLimit = hard;
    return true;
  }

  uint64_t ProcessorCount() override { return processors; }

  // Made-up mappings lie 1 TiB apart so that two blocks never overlap.
  static constexpr uintptr_t kFakeBase = uintptr_t{0x700000000000};
  static constexpr uintptr_t kFakeStride = uintptr_t{1} << 40;

 private:
  std::vector<std::pair<uintptr_t, uint64_t>> liveRealMappings_;
};
