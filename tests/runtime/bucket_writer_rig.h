#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/bucket_writer.h"
#include "runtime/memory_arena.h"

// A staging writer with its own arena and buffer, as an engine would hand one to a worker.
template <uint32_t Slots>
struct OwnedBucketWriter {
  OwnedBucketWriter() : arena([](const std::string&) {}) { w.AllocateBuffer(arena); }
  MemoryArena arena;
  BucketWriter<Slots> w;
};

// Keeps every batch handed to it, in arrival order; appends may come from several threads.
template <class Entry>
class RecordingSink final : public BucketSink {
 public:
  struct Batch {
    uint64_t bucket;
    std::vector<Entry> entries;
  };
  void Append(uint64_t bucket, const void* entries, uint64_t count) override {
    Batch b{bucket, std::vector<Entry>(count)};
    std::memcpy(b.entries.data(), entries, count * sizeof(Entry));
    std::lock_guard<std::mutex> lock(mu);
    batches.push_back(std::move(b));
  }
  std::mutex mu;
  std::vector<Batch> batches;
};
