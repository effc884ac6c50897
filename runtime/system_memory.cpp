#include "runtime/system_memory.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

class HostMemory final : public SystemMemory {
 public:
  uint64_t PageSize() override { return static_cast<uint64_t>(sysconf(_SC_PAGESIZE)); }

  bool ReadTextFile(const char* path, std::string& text) override {
    std::ifstream in(path);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) return false;
    text = all.str();
    return true;
  }

  bool QuerySysInfo(SysInfo& info) override {
    struct sysinfo si {};
    if (sysinfo(&si) != 0) return false;
    info.totalRam = si.totalram;
    info.freeRam = si.freeram;
    info.freeHigh = si.freehigh;
    info.freeSwap = si.freeswap;
    info.memUnit = si.mem_unit;
    return true;
  }

  void* Map(uint64_t length) override {
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // Large pages make touching, locking and unmapping the block far cheaper and spare the sorts
    // most of their TLB misses. Only a wish: a kernel without them maps small pages.
    (void)madvise(p, length, MADV_HUGEPAGE);
    return p;
  }

  void Unmap(void* address, uint64_t length) override {
    if (length != 0) munmap(address, length);
  }

  int Lock(void* address, uint64_t length) override {
    return mlock(address, length) == 0 ? 0 : errno;
  }

  bool GetLockLimit(uint64_t& soft, uint64_t& hard) override {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return false;
    soft = limit.rlim_cur;
    hard = limit.rlim_max;
    return true;
  }

  bool SetLockLimit(uint64_t soft, uint64_t hard) override {
    struct rlimit limit {};
    limit.rlim_cur = soft;
    limit.rlim_max = hard;
    return setrlimit(RLIMIT_MEMLOCK, &limit) == 0;
  }

  uint64_t ProcessorCount() override {
    // The affinity mask, so that a run confined to some cores starts no more threads than that.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
      const int count = CPU_COUNT(&set);
      if (count > 0) return static_cast<uint64_t>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 1 : hardware;
  }
};

// Reads the number and unit that follow `label` in a whitespace-separated text; the unit must be
// "kB". Raises `unitCode` for another unit and `missingCode` when the label is absent.
int64_t ReadKibField(const std::string& text, const char* label, const char* unitCode,
                     const char* missingCode) {
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (word != label) continue;
    int64_t value = 0;
    std::string unit;
    if (!(words >> value >> unit)) break;
    if (unit != "kB") throw std::runtime_error(unitCode);
    return value * 1024;
  }
  throw std::runtime_error(missingCode);
}

}  // namespace

SystemMemory& HostSystemMemory() {
  static HostMemory host;
  return host;
}

MemoryFigures ReadMemoryFigures(SystemMemory& system) {
  MemoryFigures figures;
  try {
    std::string text;
    if (!system.ReadTextFile("/proc/meminfo", text)) throw std::runtime_error("2A5A9CF9");
    const int64_t total = ReadKibField(text, "MemTotal:", "D1D667F2", "2A5A9CF9");
    const int64_t available = ReadKibField(text, "MemAvailable:", "9F6C0884", "2A5A9CF9");
    const int64_t swapFree = ReadKibField(text, "SwapFree:", "92DB8B28", "2A5A9CF9");
    figures.total = total;
    figures.available = available;
    figures.availableWithSwap = available + swapFree;
    return figures;
  } catch (const std::exception&) {
    // The kernel's own counters are the fallback.
  }
  SystemMemory::SysInfo info;
  if (system.QuerySysInfo(info)) {
    const uint64_t unit = info.memUnit;
    const uint64_t freeBase = info.freeHigh != 0 ? info.freeHigh : info.freeRam;
    figures.total = static_cast<int64_t>(info.totalRam * unit);
    figures.available = static_cast<int64_t>(info.freeRam * unit);
    figures.availableWithSwap = static_cast<int64_t>((freeBase + info.freeSwap) * unit);
  }
  return figures;
}

uint64_t ReadProcessRss(SystemMemory& system) {
  try {
    std::string text;
    if (!system.ReadTextFile("/proc/self/status", text)) return 0;
    const int64_t rss = ReadKibField(text, "VmRSS:", "D4A50640", "F462AD45");
    return rss > 0 ? static_cast<uint64_t>(rss) : 0;
  } catch (...) {
    return 0;
  }
}

uint64_t ReadProcessRss() { return ReadProcessRss(HostSystemMemory()); }
