#include "runtime/memory_arena.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

#include "runtime/page_toucher.h"
#include "runtime/text_utils.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kStepBytes = 128 * kMiB;    // mapping retreat, lock step and limit raise
constexpr int64_t kTouchChunk = 16 * kMiB;    // resident size is checked after each chunk
constexpr int64_t kMinRssGrowth = 12 * kMiB;  // less growth per chunk means memory ran short
// Each thread touches about one chunk between two looks at the resident size, so this bounds how
// far the touching can run past the point where memory ran short: well inside the reserve kept
// back for that probe.
constexpr int64_t kMaxTouchThreads = 16;
constexpr uint64_t kInfiniteLimit = ~uint64_t{0};

uint8_t* AlignUp(uint8_t* pointer, uint64_t alignment) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
  const uintptr_t aligned = (address + alignment - 1) / alignment * alignment;
  return pointer + (aligned - address);
}

}  // namespace

ReservePlan PlanReserve(const MemoryFigures& figures, uint64_t requested, bool forced,
                        int64_t pageSize) {
  const int64_t total = figures.total;
  const int64_t available = figures.available;
  const int64_t withSwap = figures.availableWithSwap;

  ReservePlan plan;
  int64_t target = std::min(total - total / 4, withSwap);
  target = std::max(target, available);
  target = std::min(total - total / 8, target);
  if (requested != 0 && (requested < static_cast<uint64_t>(target) || forced)) {
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    target = static_cast<int64_t>(requested > limit ? limit : requested);
  }
  plan.target = target;
  plan.reserve = total <= 0x40000001FLL ? 0x40000000LL : total / 32 + 512 * kMiB;
  plan.goal = std::min({target, std::max<int64_t>(withSwap - plan.reserve, 0),
                        std::max<int64_t>(total - plan.reserve, 0)});
  plan.pages = plan.goal <= 0 ? 0 : (plan.goal + pageSize - 1) / pageSize;
  plan.sparePages = forced ? 0 : plan.reserve / pageSize;
  return plan;
}

int64_t UsableAfterTouch(int64_t rssBefore, int64_t rssAfter, int64_t available, int64_t reserve,
                         int64_t mappedBytes) {
  const int64_t growth = rssAfter - rssBefore;
  return std::min(std::max(std::min(growth - 512 * kMiB, available - reserve), growth - reserve),
                  mappedBytes);
}

MemoryArena::MemoryArena(WarningCallback warning, SystemMemory& system)
    : warning_(std::move(warning)), system_(&system) {}

MemoryArena::~MemoryArena() {
  Release();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const RetiredBlock& block : retired_) system_->Unmap(block.base, block.size);
  retired_.clear();
}

void* MemoryArena::Allocate(uint64_t size, uint64_t alignment) {
  if (alignment < 16) alignment = 16;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (regionSize_ != 0) {
      // Align the address itself so that alignments above the page size hold too.
      uint8_t* piece = AlignUp(regionBase_ + usedOffset_, alignment);
      const uint64_t offset = static_cast<uint64_t>(piece - regionBase_);
      if (offset <= regionSize_ && size <= regionSize_ - offset) {
        ++liveCount_;
        usedOffset_ = offset + size;
        return piece;
      }
    }
    overflowBytes_ += size;
  }
  void* memory = nullptr;
  if (posix_memalign(&memory, alignment, size) != 0) return nullptr;
  return memory;
}

void* MemoryArena::Allocate16(uint64_t size) { return Allocate(size, 16); }

void MemoryArena::Deallocate(void* pointer) {
  uint8_t* p = static_cast<uint8_t*>(pointer);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (regionBase_ != nullptr && p >= regionBase_ && p < regionBase_ + regionSize_) {
      if (--liveCount_ == 0) usedOffset_ = 0;
      return;
    }
    for (size_t i = 0; i < retired_.size(); ++i) {
      RetiredBlock& block = retired_[i];
      if (p >= block.base && p < block.base + block.size) {
        if (--block.live == 0) {
          system_->Unmap(block.base, block.size);
          retired_.erase(retired_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return;
      }
    }
  }
  free(pointer);
}

void MemoryArena::UnmapLocked(uint8_t* base, uint64_t size) {
  system_->Unmap(base, size);
  regionBase_ = nullptr;
  regionSize_ = 0;
}

void MemoryArena::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (regionBase_ == nullptr) return;
  if (liveCount_ != 0) {
    warning_("WARNING: 9C87E507");
    retired_.push_back({regionBase_, regionSize_, liveCount_});
  } else {
    system_->Unmap(regionBase_, regionSize_);
  }
  regionBase_ = nullptr;
  regionSize_ = 0;
  usedOffset_ = 0;
  overflowBytes_ = 0;
  liveCount_ = 0;
}

namespace {

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

}  // namespace

uint64_t MemoryArena::Reserve(uint64_t requested, const std::atomic<bool>* cancel, bool forced,
                              bool warnings) {
  const int64_t page = static_cast<int64_t>(system_->PageSize());
  std::lock_guard<std::mutex> lock(mutex_);
  if (regionBase_ != nullptr) throw std::runtime_error("97947AA8");
  liveCount_ = 0;
  regionSize_ = 0;
  usedOffset_ = 0;
  // Nothing asked for: do not let the host's figures decide a size.
  if (forced && requested == 0) return 0;

  const MemoryFigures figures = ReadMemoryFigures(*system_);
  const ReservePlan plan = PlanReserve(figures, requested, forced, page);
  int64_t pages = plan.pages;
  if (pages + plan.sparePages <= 0) return 0;

  const int64_t rssBefore = static_cast<int64_t>(ReadProcessRss(*system_));
  const int64_t length = MapRegionLocked(pages, plan.sparePages, page);
  uint8_t* const base = regionBase_;
  const int64_t rssMapped = static_cast<int64_t>(ReadProcessRss(*system_));

  int64_t usable = length;
  if (!forced) {
    const std::optional<int64_t> touched =
        TouchRegionLocked(length, page, pages * page, rssBefore, rssMapped, figures.available,
                          plan.reserve, cancel, warnings);
    if (!touched) {
      UnmapLocked(base, static_cast<uint64_t>(length));
      return 0;
    }
    usable = *touched;
  }
  if (usable < 0) {
    UnmapLocked(base, static_cast<uint64_t>(length));
    return 0;
  }
  const int64_t size = usable / page * page;
  if (size < length) system_->Unmap(base + size, static_cast<uint64_t>(length - size));
  if (size == 0) {
    regionBase_ = nullptr;
    regionSize_ = 0;
    return 0;
  }

  const uint64_t kept = static_cast<uint64_t>(size);
  if (!LockRegionLocked(kept, figures.total, cancel, warnings)) {
    UnmapLocked(base, kept);
    return 0;
  }
  regionSize_ = kept;
  return kept;
}

int64_t MemoryArena::MapRegionLocked(int64_t& pages, int64_t sparePages, int64_t page) {
  int64_t length = (pages + sparePages) * page;
  for (;;) {
    uint8_t* base =
        length > 0 ? static_cast<uint8_t*>(system_->Map(static_cast<uint64_t>(length))) : nullptr;
    if (base != nullptr) {
      regionBase_ = base;
      return length;
    }
    pages -= kStepBytes / page;
    if (pages < 0) throw std::bad_alloc();
    length = (pages + sparePages) * page;
  }
}

std::optional<int64_t> MemoryArena::TouchRegionLocked(
    int64_t length, int64_t page, int64_t pagesBytes, int64_t rssBefore, int64_t rssMapped,
    int64_t available, int64_t reserve, const std::atomic<bool>* cancel, bool warnings) {
  std::vector<uint8_t> pattern(static_cast<size_t>(page));
  std::mt19937_64 generator;
  for (uint8_t& byte : pattern) byte = static_cast<uint8_t>(generator());

  // A round is one chunk per thread; memory ran short when a round grew the resident size by
  // less than its chunks should have.
  const int64_t chunks = (length + kTouchChunk - 1) / kTouchChunk;
  const int64_t threads = std::clamp<int64_t>(
      static_cast<int64_t>(std::min<uint64_t>(system_->ProcessorCount(), kMaxTouchThreads)), 1,
      std::max<int64_t>(chunks, 1));
  PageToucher toucher(pattern.data(), static_cast<uint64_t>(page), static_cast<uint64_t>(threads));
  const int64_t round = threads * kTouchChunk;
  int64_t previous = rssMapped;
  for (int64_t start = 0; start < length; start += round) {
    const int64_t end = std::min(start + round, length);
    toucher.Touch(regionBase_ + start, static_cast<uint64_t>(end - start));
    const int64_t roundChunks = (end - start + kTouchChunk - 1) / kTouchChunk;
    const int64_t rss = static_cast<int64_t>(ReadProcessRss(*system_));
    if (rss != 0 && rss - previous < roundChunks * kMinRssGrowth) break;
    if (Cancelled(cancel)) return std::nullopt;
    previous = rss;
  }
  const int64_t rssAfter = static_cast<int64_t>(ReadProcessRss(*system_));
  if (rssBefore == 0 || rssAfter == 0) {
    if (warnings) warning_("WARNING: Can't get process physical memory size");
    return pagesBytes;
  }
  return UsableAfterTouch(rssBefore, rssAfter, available, reserve, pagesBytes);
}

bool MemoryArena::LockRegionLocked(uint64_t size, int64_t totalMemory,
                                   const std::atomic<bool>* cancel, bool warnings) {
  uint64_t remaining = size;
  uint8_t* cursor = regionBase_;
  // Every way out but success and cancellation warns, then sums up what stayed unlocked.
  auto giveUp = [&](const char* text) {
    if (!warnings) return true;
    warning_(text);
    warning_("WARNING: " + FormatGiB(size) + "GiB of memory allocated but only " +
             FormatGiB(size - remaining) +
             "GiB were locked in physical memory to prevent swapping. This usually does not "
             "affect performance.");
    return true;
  };
  while (remaining != 0) {
    if (Cancelled(cancel)) return false;
    const uint64_t step = std::min<uint64_t>(remaining, kStepBytes);
    const int error = system_->Lock(cursor, step);
    if (error == 0) {
      cursor += step;
      remaining -= step;
      continue;
    }
    if (error != ENOMEM) return giveUp("WARNING: Failed to lock physical memory");
    uint64_t soft = 0;
    uint64_t hard = 0;
    if (!system_->GetLockLimit(soft, hard)) {
      return giveUp("WARNING: Failed to retrive process memory quotas");
    }
    // An unlimited soft limit leaves nothing to raise; adding to it would wrap around and lower
    // the hard limit.
    if (soft == kInfiniteLimit || static_cast<int64_t>(soft) >= totalMemory) {
      return giveUp("WARNING: Failed to lock physical memory");
    }
    const uint64_t raised = soft > kInfiniteLimit - kStepBytes ? kInfiniteLimit : soft + kStepBytes;
    if (soft < hard) {
      soft = std::min(hard, raised);
    } else {
      soft = hard = raised;
    }
    if (!system_->SetLockLimit(soft, hard)) {
      return giveUp("WARNING: Failed to increase process memory quotas");
    }
  }
  return true;
}

uint8_t* MemoryArena::RegionBase() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return regionBase_;
}

uint64_t MemoryArena::RegionSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return regionSize_;
}

uint64_t MemoryArena::UsedOffset() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return usedOffset_;
}

uint64_t MemoryArena::OverflowBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return overflowBytes_;
}

uint64_t MemoryArena::LiveCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return liveCount_;
}

uint64_t MemoryArena::RetiredBlockCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return retired_.size();
}
