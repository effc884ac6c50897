#include "runtime/system_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// The bracketed word of /sys/kernel/mm/transparent_hugepage/enabled; empty when absent.
std::string LargePageMode() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string text;
  std::getline(in, text);
  const size_t open = text.find('[');
  const size_t close = text.find(']', open);
  if (open == std::string::npos || close == std::string::npos) return {};
  return text.substr(open + 1, close - open - 1);
}

// AnonHugePages of the mapping that holds `address`, in kB; -1 when it is not listed.
int64_t LargePageKib(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::ifstream in("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    uintptr_t start = 0;
    uintptr_t end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> start >> dash >> end && dash == '-') {
      inside = start <= at && at < end;
      continue;
    }
    if (inside && line.rfind("AnonHugePages:", 0) == 0) {
      std::istringstream field(line.substr(std::strlen("AnonHugePages:")));
      int64_t kib = -1;
      field >> kib;
      return kib;
    }
  }
  return -1;
}

}  // namespace

// The plotting block is touched, locked and sorted in; on a kernel that hands out large pages
// only on request, the host's mappings must ask for them.
TEST(HostSystemMemory, MappingsAskForLargePages) {
  const std::string mode = LargePageMode();
  if (mode != "always" && mode != "madvise") GTEST_SKIP() << "no transparent large pages here";
  SystemMemory& host = HostSystemMemory();
  constexpr uint64_t kLength = 64 << 20;
  auto* base = static_cast<uint8_t*>(host.Map(kLength));
  ASSERT_NE(base, nullptr);
  for (uint64_t i = 0; i < kLength; i += 4096) base[i] = 1;
  const int64_t kib = LargePageKib(base);
  host.Unmap(base, kLength);
  // 64 MiB holds at least 31 aligned 2 MiB pages; memory too fragmented for any would be odd.
  EXPECT_GT(kib, 0);
}
