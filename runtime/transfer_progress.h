#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "runtime/file_stream.h"
#include "runtime/io_worker.h"

// What the entry and byte transfer helpers need of the job they work for: its mutex and progress
// fraction (which the job's owner reads under that mutex), the byte counts behind the fraction,
// the worker whose file ReadEntries reads, and the stream WriteBytes appends to. A job embeds
// one and points the two links at its own members.
struct TransferProgress {
  std::mutex mutex;
  double progress = 0.0;  // guarded by mutex
  uint64_t doneBytes = 0;
  uint64_t totalBytes = 0;
  IoWorker* readWorker = nullptr;
  FileStream* output = nullptr;
};

inline constexpr uint64_t kEntryChunk = 65536;

// Writes `entries` through `stream` in chunks of at most 65,536; after each chunk the chunk's
// bytes count as done and, under the job mutex, progress = done / total (0 when total is 0).
void WriteEntries(TransferProgress& job, FileStream& stream, std::span<const uint64_t> entries);

// Fills `entries` from the job's read worker's file at `offset`, through a reader of its own,
// with the same chunking and progress. Entries that lie past the end of the file are not data:
// they raise "Failed to read file \"" + path + "\": read less than expected".
void ReadEntries(TransferProgress& job, uint64_t offset, std::span<uint64_t> entries);

// Appends bytes to the job's output stream.
void WriteBytes(TransferProgress& job, const void* bytes, uint64_t n);
