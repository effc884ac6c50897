#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "runtime/bucket_sink.h"

// The 256 in-memory buckets of one distribution pass, for entries of W bytes. Lives on the plot
// thread's stack for one pass. Append is lock-free: a compare-and-swap on the bucket's fill index
// reserves a range, and the copy into it runs outside any lock, so concurrent appends to one
// bucket fill disjoint ranges. Entries beyond a bucket's capacity are dropped and counted; the
// pass fails when any were (see Dropped).
template <uint64_t W>
class InMemoryBucketSink final : public BucketSink {
 public:
  static constexpr uint64_t kWidth = W;
  static constexpr uint64_t kBuckets = 256;

  // `data[b]` has room for `capacity[b]` entries.
  InMemoryBucketSink(uint8_t* const* data, const uint64_t* capacity) {
    for (uint64_t b = 0; b < kBuckets; ++b) {
      data_[b] = data[b];
      fill_[b].store(0, std::memory_order_relaxed);
      capacity_[b] = capacity[b];
    }
  }

  void Append(uint64_t bucket, const void* entries, uint64_t count) override {
    std::atomic<uint64_t>& fill = fill_[bucket];
    uint64_t at = fill.load(std::memory_order_relaxed);
    uint64_t take;
    do {
      take = std::min(count, capacity_[bucket] - at);
    } while (!fill.compare_exchange_weak(at, at + take, std::memory_order_relaxed));
    std::memcpy(data_[bucket] + at * W, entries, take * W);
    if (take != count) dropped_.fetch_add(count - take, std::memory_order_relaxed);
  }

  // Read after the pass's tasks have ended.
  uint64_t Fill(uint64_t bucket) const { return fill_[bucket].load(std::memory_order_relaxed); }
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  uint8_t* data_[kBuckets];
  std::atomic<uint64_t> fill_[kBuckets];
  uint64_t capacity_[kBuckets];
  std::atomic<uint64_t> dropped_{0};
};

// The sinks by width and user; two users of one width share the class.
using BucketSink8A = InMemoryBucketSink<8>;    // the last table
using BucketSink8B = InMemoryBucketSink<8>;    // step 1
using BucketSink12A = InMemoryBucketSink<12>;  // step 2, first half
using BucketSink12B = InMemoryBucketSink<12>;  // step 6, second half
using BucketSink16 = InMemoryBucketSink<16>;
using BucketSink20A = InMemoryBucketSink<20>;
using BucketSink20B = InMemoryBucketSink<20>;
using BucketSink24A = InMemoryBucketSink<24>;
using BucketSink24B = InMemoryBucketSink<24>;
using BucketSink28 = InMemoryBucketSink<28>;
