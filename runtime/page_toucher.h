#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// Writes a page-sized pattern into every page of a range on several threads at once. The first
// write to a fresh anonymous page makes the kernel find and clear a page, which is most of the
// cost of touching a large block, and that work spreads over the cores.
class PageToucher {
 public:
  // `pattern` holds `page` bytes and must outlive the toucher. Starts `threads` - 1 helpers (the
  // caller of Touch is the last worker); a helper that cannot be started is done without.
  PageToucher(const uint8_t* pattern, uint64_t page, uint64_t threads);
  // Stops and joins the helpers.
  ~PageToucher();
  PageToucher(const PageToucher&) = delete;
  PageToucher& operator=(const PageToucher&) = delete;

  // Copies the pattern into each page of [begin, begin + length), a whole number of pages, and
  // returns once every page is written.
  void Touch(uint8_t* begin, uint64_t length);

  // The helpers and the caller.
  uint64_t ThreadCount() const { return helpers_.size() + 1; }

 private:
  void HelperLoop();
  // Claims slices of the current range until none is left.
  void TouchSlices();

  const uint8_t* const pattern_;
  const uint64_t page_;
  const uint64_t slice_;
  uint8_t* begin_ = nullptr;
  uint64_t length_ = 0;
  std::atomic<uint64_t> nextSlice_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  uint64_t generation_ = 0;
  uint64_t helpersBusy_ = 0;
  bool stop_ = false;
  std::vector<std::thread> helpers_;
};
