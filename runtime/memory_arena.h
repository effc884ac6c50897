#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/system_memory.h"

// Hands out pieces of one large pinned block by a bump pointer; what does not fit comes from the
// general heap, so an allocation never fails merely because the block is full. The block is
// reused from its start whenever every piece of it has been returned.
class MemoryArena {
 public:
  using WarningCallback = std::function<void(const std::string&)>;

  explicit MemoryArena(WarningCallback warning, SystemMemory& system = HostSystemMemory());
  virtual ~MemoryArena();
  MemoryArena(const MemoryArena&) = delete;
  MemoryArena& operator=(const MemoryArena&) = delete;

  // Alignment is raised to at least 16. Null only when the heap fallback fails.
  virtual void* Allocate(uint64_t size, uint64_t alignment);
  virtual void Deallocate(void* pointer);
  void* Allocate16(uint64_t size);

  // Maps, touches and locks the block; returns its usable size (0 when nothing could be kept or
  // `cancel` was seen set). Raises "97947AA8" while a block is held.
  uint64_t Reserve(uint64_t requested, const std::atomic<bool>* cancel, bool forced, bool warnings);
  // Gives the block back. Pieces still handed out keep their memory: the range is retired and
  // unmapped once the last of them is returned.
  void Release();

  // Snapshots taken under the arena mutex.
  uint8_t* RegionBase() const;
  uint64_t RegionSize() const;
  uint64_t UsedOffset() const;
  uint64_t OverflowBytes() const;
  uint64_t LiveCount() const;
  // Released blocks that still have pieces handed out.
  uint64_t RetiredBlockCount() const;

 private:
  struct RetiredBlock {
    uint8_t* base;
    uint64_t size;
    uint64_t live;
  };

  void UnmapLocked(uint8_t* base, uint64_t size);

  // The steps of Reserve, each called with the mutex held.
  // Maps `pages` plus `sparePages` pages, retreating 128 MiB at a time (and lowering `pages` to
  // match); returns the mapped length. Throws std::bad_alloc when nothing could be mapped.
  int64_t MapRegionLocked(int64_t& pages, int64_t sparePages, int64_t page);
  // Touches the mapping, a round of chunks at a time on several threads, while the resident size
  // keeps growing; returns the usable bytes (negative: keep nothing), or nothing when `cancel`
  // was seen set.
  std::optional<int64_t> TouchRegionLocked(int64_t length, int64_t page, int64_t pagesBytes,
                                           int64_t rssBefore, int64_t rssMapped, int64_t available,
                                           int64_t reserve, const std::atomic<bool>* cancel,
                                           bool warnings);
  // Locks the block in steps, raising the lock limit when it is what stands in the way; false
  // when `cancel` was seen set.
  bool LockRegionLocked(uint64_t size, int64_t totalMemory, const std::atomic<bool>* cancel,
                        bool warnings);

  uint8_t* regionBase_ = nullptr;
  uint64_t regionSize_ = 0;
  uint64_t usedOffset_ = 0;
  uint64_t overflowBytes_ = 0;
  uint64_t liveCount_ = 0;
  mutable std::mutex mutex_;
  WarningCallback warning_;
  SystemMemory* system_;
  std::vector<RetiredBlock> retired_;
};

// The sizing rule of MemoryArena::Reserve, as signed 64-bit arithmetic over the host's figures.
struct ReservePlan {
  int64_t target = 0;      // D: the size wanted before the reserve is kept back
  int64_t reserve = 0;     // R: memory left to the rest of the system
  int64_t goal = 0;        // G: bytes to keep
  int64_t pages = 0;       // N: ceil(G / page)
  int64_t sparePages = 0;  // E: extra pages mapped and touched to probe for room (not forced)
};
ReservePlan PlanReserve(const MemoryFigures& figures, uint64_t requested, bool forced,
                        int64_t pageSize);

// Usable bytes after touching, from the resident-size growth Q = rssAfter - rssBefore:
// min(max(min(Q - 512 MiB, A - R), Q - R), mappedBytes).
int64_t UsableAfterTouch(int64_t rssBefore, int64_t rssAfter, int64_t available, int64_t reserve,
                         int64_t mappedBytes);

// Owning handle of an object placed in an arena: the deleter destroys the object and gives its
// memory back to the same arena.
template <typename T>
struct ArenaDeleter {
  MemoryArena* arena = nullptr;
  void operator()(T* object) const {
    object->~T();
    arena->Deallocate(object);
  }
};

template <typename T>
using ArenaPtr = std::unique_ptr<T, ArenaDeleter<T>>;

// Constructs a T in arena memory; the memory goes back when the constructor throws.
template <typename T, typename... Args>
ArenaPtr<T> NewInArena(MemoryArena& arena, Args&&... args) {
  constexpr uint64_t kAlignment = alignof(T) > 16 ? alignof(T) : 16;
  void* memory = arena.Allocate(sizeof(T), kAlignment);
  if (memory == nullptr) throw std::bad_alloc();
  try {
    T* object = new (memory) T(std::forward<Args>(args)...);
    return ArenaPtr<T>(object, ArenaDeleter<T>{&arena});
  } catch (...) {
    arena.Deallocate(memory);
    throw;
  }
}
