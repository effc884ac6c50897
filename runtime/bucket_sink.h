#pragma once

#include <cstdint>

// Receiver of bucketed entries: the in-memory bucket arrays of a pass or the temp-file stream.
// Append may run on many threads at once, also for the same bucket.
class BucketSink {
 public:
  virtual void Append(uint64_t bucket, const void* entries, uint64_t count) = 0;

 protected:
  ~BucketSink() = default;
};
