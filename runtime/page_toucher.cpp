#include "runtime/page_toucher.h"

#include <cstring>
#include <system_error>

namespace {

// Small enough that the workers of one range finish close together, large enough that claiming
// a slice costs nothing beside clearing its pages.
constexpr uint64_t kSliceBytes = uint64_t{1} << 20;

}  // namespace

PageToucher::PageToucher(const uint8_t* pattern, uint64_t page, uint64_t threads)
    : pattern_(pattern), page_(page), slice_(kSliceBytes > page ? kSliceBytes / page * page : page) {
  for (uint64_t i = 1; i < threads; ++i) {
    try {
      helpers_.emplace_back([this] { HelperLoop(); });
    } catch (const std::system_error&) {
      break;  // fewer threads only make the touching slower
    }
  }
}

PageToucher::~PageToucher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void PageToucher::Touch(uint8_t* begin, uint64_t length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    begin_ = begin;
    length_ = length;
    nextSlice_.store(0, std::memory_order_relaxed);
    helpersBusy_ = helpers_.size();
    ++generation_;
  }
  wake_.notify_all();
  TouchSlices();
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return helpersBusy_ == 0; });
}

void PageToucher::HelperLoop() {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    TouchSlices();
    bool last = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last = --helpersBusy_ == 0;
    }
    if (last) finished_.notify_one();
  }
}

void PageToucher::TouchSlices() {
  // The range is set before the helpers are woken and stays until every one has reported back.
  const uint64_t slices = (length_ + slice_ - 1) / slice_;
  for (;;) {
    const uint64_t slice = nextSlice_.fetch_add(1, std::memory_order_relaxed);
    if (slice >= slices) return;
    const uint64_t start = slice * slice_;
    const uint64_t end = start + slice_ < length_ ? start + slice_ : length_;
    for (uint64_t offset = start; offset < end; offset += page_) {
      std::memcpy(begin_ + offset, pattern_, page_);
    }
  }
}
