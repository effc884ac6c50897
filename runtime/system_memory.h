#pragma once

#include <cstdint>
#include <string>

// The operating-system facts and calls that pinned working memory depends on. The arena talks to
// the host through this interface so that its sizing rules and failure paths can be exercised
// with made-up figures.
class SystemMemory {
 public:
  // The figures of sysinfo(2) that the fallback sizing uses.
  struct SysInfo {
    uint64_t totalRam = 0;
    uint64_t freeRam = 0;
    uint64_t freeHigh = 0;
    uint64_t freeSwap = 0;
    uint64_t memUnit = 1;
  };

  virtual ~SystemMemory() = default;

  virtual uint64_t PageSize() = 0;
  // The whole text of a small file such as "/proc/meminfo"; false when it cannot be read.
  virtual bool ReadTextFile(const char* path, std::string& text) = 0;
  virtual bool QuerySysInfo(SysInfo& info) = 0;
  // An anonymous private read-write mapping; null when refused.
  virtual void* Map(uint64_t length) = 0;
  virtual void Unmap(void* address, uint64_t length) = 0;
  // 0 on success, else the errno of mlock.
  virtual int Lock(void* address, uint64_t length) = 0;
  // RLIMIT_MEMLOCK as the raw rlim_t values (RLIM_INFINITY included).
  virtual bool GetLockLimit(uint64_t& soft, uint64_t& hard) = 0;
  virtual bool SetLockLimit(uint64_t soft, uint64_t hard) = 0;
  // Processors this process may run on; at least 1.
  virtual uint64_t ProcessorCount() = 0;
};

// The real host.
SystemMemory& HostSystemMemory();

// Total, available, and available plus free swap, in bytes.
struct MemoryFigures {
  int64_t total = 0;
  int64_t available = 0;
  int64_t availableWithSwap = 0;
};

// From "/proc/meminfo" (MemTotal, MemAvailable, SwapFree), else from sysinfo.
MemoryFigures ReadMemoryFigures(SystemMemory& system);

// Resident set size in bytes from "/proc/self/status"; 0 on any failure. Never throws.
uint64_t ReadProcessRss(SystemMemory& system);
uint64_t ReadProcessRss();
